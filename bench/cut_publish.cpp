// cut_publish: cuts a file into pieces of PIECE_BYTES like `split -b PIECE_BYTES -a 6 -d`, but
// publishes every piece the way frameburst publishes a TIFF file: written as NAME.part, closed,
// then renamed to NAME. The benchmark uses it as a second floor that includes this crash-safe
// publishing, to tell its cost apart from the converter's own.
//
//   cut_publish INPUT PIECE_BYTES        (pieces x000000, x000001, ... in the current directory)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool read_full(int fd, char* buf, std::size_t want, std::size_t& got) {
    got = 0;
    while (got < want) {
        const ssize_t n = ::read(fd, buf + got, want - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool write_full(int fd, const char* buf, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, buf, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        buf += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: cut_publish INPUT PIECE_BYTES\n", stderr);
        return 2;
    }
    const long long piece = std::atoll(argv[2]);
    const int in = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    if (in < 0 || piece <= 0) {
        std::fprintf(stderr, "cut_publish: cannot read %s\n", argv[1]);
        return 1;
    }
    const auto size = static_cast<std::size_t>(piece);
    char* buf = static_cast<char*>(std::aligned_alloc(4096, (size + 4095) / 4096 * 4096));
    if (buf == nullptr) {
        return 1;
    }
    for (long k = 0;; ++k) {
        std::size_t got = 0;
        if (!read_full(in, buf, size, got)) {
            std::fprintf(stderr, "cut_publish: read error: %s\n", std::strerror(errno));
            return 1;
        }
        if (got == 0) {
            break;
        }
        char name[32];
        std::snprintf(name, sizeof name, "x%06ld", k);
        const std::string temp = std::string(name) + ".part";
        const int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (out < 0 || !write_full(out, buf, got) || ::close(out) != 0 ||
            std::rename(temp.c_str(), name) != 0) {
            std::fprintf(stderr, "cut_publish: cannot write %s: %s\n", name, std::strerror(errno));
            return 1;
        }
    }
    std::free(buf);
    ::close(in);
    return 0;
}
