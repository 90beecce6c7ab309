// kmo_hold_file: the other process of the Windows file-sharing tests. It opens
// a file and keeps it open until its standard input ends.
//   kmo_hold_file PATH r|w|l ANSWER_PATH
// r opens for reading and w for writing, both sharing the file with everyone;
// l opens for writing and shares it with nobody. Once the file is held (or
// cannot be), "y" (or "n") is written to ANSWER_PATH.
#include <cstdio>
#include <string>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

int main(int argc, char** argv)
{
    if (argc != 4 || argv[2][0] == '\0') {
        std::fprintf(stderr, "usage: kmo_hold_file PATH r|w|l ANSWER_PATH\n");
        return 2;
    }
    const char mode = argv[2][0];
    const int flags = (mode == 'r' ? _O_RDONLY : _O_WRONLY) | _O_BINARY;
    const int share = mode == 'l' ? _SH_DENYRW : _SH_DENYNO;
    int fd = -1;
    if (_sopen_s(&fd, argv[1], flags, share, _S_IREAD | _S_IWRITE) != 0) {
        fd = -1;
    }
    // The answer appears whole: written aside, then renamed into place.
    const std::string tmp = std::string(argv[3]) + ".tmp";
    if (std::FILE* answer = std::fopen(tmp.c_str(), "wb")) {
        std::fputc(fd >= 0 ? 'y' : 'n', answer);
        std::fclose(answer);
        std::rename(tmp.c_str(), argv[3]);
    }
    char buf[64];
    while (std::fread(buf, 1, sizeof buf, stdin) > 0) {
    }
    if (fd >= 0) {
        _close(fd);
    }
    return 0;
}
