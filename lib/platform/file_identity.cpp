// What a file's identity means, the same on every platform: the comparison of
// two identities, and the removal that only takes the file that was seen.
#include <cerrno>

#include "plat_file.h"
#include "plat_fs.h"

bool PLAT_FileIdSame(const PLAT_FileId& a, const PLAT_FileId& b)
{
    return a.kind == b.kind && a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
           a.mtimeSec == b.mtimeSec && a.mtimeNsec == b.mtimeNsec;
}

int PLAT_FsRemoveIfSame(const char* path, const PLAT_FileId& id, int* err)
{
    PLAT_FileId now;
    if (PLAT_FsIdOf(path, &now) != 0) {
        if (err != nullptr) {
            *err = errno;
        }
        return -1;
    }
    if (!PLAT_FileIdSame(now, id)) {
        if (err != nullptr) {
            *err = ESTALE;
        }
        return -1;
    }
    return PLAT_FsRemove(path, err);
}
