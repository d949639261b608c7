// A run killed in the middle: every TIFF file under an output name is complete and exact.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
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

// Waits until the run in `dir` has stored `wanted` files, best while it is writing the next one, a
// few frames later in any case. False when the run ended first.
bool wait_for_files(const TempDir& dir, pid_t pid, int wanted) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        const Listing l = list(dir);
        if (l.tiffs >= wanted && (l.temporary || l.tiffs >= wanted + 3)) {
            return true;
        }
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

constexpr int FRAMES = 60;

// An input of 60 frames of 512 x 512 (512 KiB a frame: a signal mostly lands in a write), and the
// files a complete run makes of it.
class CrashSafety : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        work_ = new TempDir;
        reference_ = new TempDir;
        test_support::write_file(
            work_->file("in.his"),
            his_synth::encode_sequence(his_synth::make_header(512, 512, 2, FRAMES), "", FRAMES));
        ASSERT_EQ(test_support::run_frameburst({work_->file("in.his")}, reference_->path()).status,
                  0);
    }
    static void TearDownTestSuite() {
        delete work_;
        delete reference_;
    }
    static TempDir* work_;
    static TempDir* reference_;
};
TempDir* CrashSafety::work_ = nullptr;
TempDir* CrashSafety::reference_ = nullptr;

TEST_F(CrashSafety, KilledRunLeavesOnlyWholeFiles) {
    const int frames = FRAMES;
    const TempDir& work = *work_;
    const TempDir& reference = *reference_;

    // Kill runs at several points until two kills have caught a file being written.
    int caught_writing = 0;
    for (int attempt = 0; attempt < 8 && caught_writing < 2; ++attempt) {
        SCOPED_TRACE(testing::Message() << "attempt " << attempt);
        TempDir dir;
        const pid_t pid = start_frameburst(work.file("in.his"), dir.path());
        ASSERT_GT(pid, 0);
        const int wanted = 3 + (11 * attempt) % 40;
        ASSERT_TRUE(wait_for_files(dir, pid, wanted)) << "the run ended before it could be killed";
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

// A run ended by a signal it can catch removes the file it was writing: only whole files remain.
TEST_F(CrashSafety, InterruptedRunRemovesItsUnfinishedFile) {
    int caught_writing = 0;
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal_number));
        TempDir dir;
        const pid_t pid = start_frameburst(work_->file("in.his"), dir.path());
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(wait_for_files(dir, pid, 3)) << "the run ended before it could be stopped";
        caught_writing += list(dir).temporary ? 1 : 0;
        ASSERT_EQ(::kill(pid, signal_number), 0);
        int wstatus = 0;
        ASSERT_EQ(::waitpid(pid, &wstatus, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == signal_number);

        const Listing after = list(dir);
        EXPECT_FALSE(after.temporary);
        EXPECT_GE(after.tiffs, 3);
        EXPECT_LT(after.tiffs, FRAMES);
        for (const auto& name : dir.entries()) {
            EXPECT_TRUE(test_support::read_file(dir.file(name)) ==
                        test_support::read_file(reference_->file(name)))
                << name << " is not the complete file";
        }
    }
    EXPECT_GE(caught_writing, 1) << "no signal landed while a file was being written";
}

}  // namespace
