#include <signal.h>

#include "conversion.h"
#include "tiff_writer.h"

namespace {

// A run interrupted from outside (Ctrl-C, a terminating signal) removes the file it was writing,
// then ends through the signal as it would have without the handler.
extern "C" void on_terminating_signal(int signal_number) {
    frameburst::tiff_discard_unfinished();
    ::raise(signal_number);  // the handler was reset to the default action on entry
}

void remove_unfinished_file_on_signals() {
    struct sigaction action {};
    action.sa_handler = on_terminating_signal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction previous {};
        // A signal the caller chose to ignore stays ignored.
        if (::sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            ::sigaction(signal_number, &action, nullptr);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    remove_unfinished_file_on_signals();
    return frameburst::run_frameburst(argc, argv);
}
