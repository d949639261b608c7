// A run killed in the middle: every TIFF file under an output name is complete and exact.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "his_synth.h"
#include "test_support.h"

namespace {

using test_support::Bytes;
using test_support::TempDir;

bool is_tiff_name(const std::string& name) {
    return name.size() == 9 && name[0] == 'a' && name.compare(5, 4, ".tif") == 0;
}

// Starts the program on `input` in `cwd`, its console output discarded.
pid_t start_frameburst(const std::string& input, const std::string& cwd) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(null, 1) < 0 || ::dup2(null, 2) < 0 ||
            ::chdir(cwd.c_str()) != 0) {
            ::_exit(127);
        }
        ::execl(FRAMEBURST_BINARY, "frameburst", input.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

struct Listing {
    int tiffs = 0;
    bool temporary = false;  // a file being written
};

Listing list(const TempDir& dir) {
    Listing l;
    for (const auto& name : dir.entries()) {
        l.tiffs += is_tiff_name(name) ? 1 : 0;
        l.temporary = l.temporary || !is_tiff_name(name);
    }
    return l;
}

TEST(CrashSafety, KilledRunLeavesOnlyWholeFiles) {
    const int frames = 60;
    const int width = 512, height = 512;  // 512 KiB a frame: the kill mostly lands in a write
    TempDir work;
    {
        const Bytes input = his_synth::encode_sequence(
            his_synth::make_header(width, height, 2, frames), "", frames);
        test_support::write_file(work.file("in.his"), input);
    }
    TempDir reference;
    ASSERT_EQ(test_support::run_frameburst({work.file("in.his")}, reference.path()).status, 0);

    // Kill runs at several points until two kills have caught a file being written.
    int caught_writing = 0;
    for (int attempt = 0; attempt < 8 && caught_writing < 2; ++attempt) {
        SCOPED_TRACE(testing::Message() << "attempt " << attempt);
        TempDir dir;
        const pid_t pid = start_frameburst(work.file("in.his"), dir.path());
        ASSERT_GT(pid, 0);
        const int wanted = 3 + (11 * attempt) % 40;
        int exited = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            const Listing l = list(dir);
            // Best while a file is being written; a few frames later in any case.
            if (l.tiffs >= wanted && (l.temporary || l.tiffs >= wanted + 3)) {
                break;
            }
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                exited = 1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        ASSERT_EQ(exited, 0) << "the run ended before it could be killed";
        ASSERT_EQ(::kill(pid, SIGKILL), 0);
        int wstatus = 0;
        ASSERT_EQ(::waitpid(pid, &wstatus, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == SIGKILL);

        const Listing after = list(dir);
        caught_writing += after.temporary ? 1 : 0;
        EXPECT_GE(after.tiffs, wanted);
        EXPECT_LT(after.tiffs, frames);
        for (const auto& name : dir.entries()) {
            if (!is_tiff_name(name)) {
                // The file being written when the run died, under its temporary name.
                EXPECT_EQ(name.size(), 14u) << name;
                EXPECT_EQ(name.substr(9), ".part") << name;
                continue;
            }
            EXPECT_TRUE(test_support::read_file(dir.file(name)) ==
                        test_support::read_file(reference.file(name)))
                << name << " is not the complete file";
        }
    }
    EXPECT_GE(caught_writing, 1) << "no kill landed while a file was being written";
}

}  // namespace
