// The directory below which every component of a path must be a real
// directory (plat_fs.h, PLAT_FsConfine). Internal to the POSIX implementation.
#pragma once

#include <fcntl.h>

// The parent directory of a path, reached without following a symbolic link
// below the confining root. For a path outside the root, or one whose last
// component sits directly in it, nothing is opened: dir() is AT_FDCWD and
// name() the path itself (the caller's O_NOFOLLOW guards the last component).
class ConfinedParent {
public:
    explicit ConfinedParent(const char* path);
    ~ConfinedParent();
    ConfinedParent(const ConfinedParent&) = delete;
    ConfinedParent& operator=(const ConfinedParent&) = delete;

    // False when a component below the root is a link, not a directory, or
    // "..": errno is then EACCES (or the system's reason, ENOENT say).
    bool ok() const { return ok_; }
    int dir() const { return dir_; }
    const char* name() const { return name_; }

private:
    bool ok_ = false;
    int dir_ = AT_FDCWD;
    const char* name_ = nullptr;
};
