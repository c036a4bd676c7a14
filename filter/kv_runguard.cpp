#include "kv_runguard.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace kv {
namespace {

constexpr int kSlots = 4;
constexpr size_t kPathMax = 4096;

struct file_slot {
    char path[kPathMax];
    std::atomic<bool> used{false};
};

std::atomic<bool> g_installed{false};
std::atomic<pid_t> g_child{0};
file_slot g_files[kSlots];

const int kSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGALRM};

void write_text(const char* text) {
    size_t left = strlen(text);
    while (left > 0) {
        ssize_t put = write(STDOUT_FILENO, text, left);
        if (put <= 0) return;
        text += put;
        left -= static_cast<size_t>(put);
    }
}

void stop_run(int sig) {
    pid_t child = g_child.load();
    if (child > 0) kill(child, SIGKILL);
    for (file_slot& slot : g_files)
        if (slot.used.load()) unlink(slot.path);
    write_text(sig == SIGALRM ? "kerval-postfix: run time limit reached - message kept for retry\n"
                              : "kerval-postfix: stopped by a signal - message kept for retry\n");
    _exit(kStoppedStatus);
}

}  // namespace

void runguard_install(unsigned deadline_seconds) {
    struct sigaction action {};
    action.sa_handler = stop_run;
    sigemptyset(&action.sa_mask);
    for (int sig : kSignals) sigaddset(&action.sa_mask, sig);
    for (int sig : kSignals) sigaction(sig, &action, nullptr);
    g_installed = true;
    if (deadline_seconds > 0) alarm(deadline_seconds);
}

void runguard_set_child(pid_t pid) {
    if (g_installed) g_child = pid;
}

void runguard_clear_child(pid_t pid) {
    pid_t expected = pid;
    g_child.compare_exchange_strong(expected, 0);
}

void runguard_in_child() {
    if (!g_installed) return;
    g_installed = false;
    g_child = 0;
    for (file_slot& slot : g_files) slot.used = false;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int sig : kSignals) sigaction(sig, &action, nullptr);
    alarm(0);
}

bool runguard_add_file(const char* path) {
    if (!g_installed || path == nullptr || strlen(path) >= kPathMax) return false;
    for (file_slot& slot : g_files) {
        if (slot.used.load()) continue;
        memcpy(slot.path, path, strlen(path) + 1);
        slot.used = true;
        return true;
    }
    return false;
}

void runguard_forget_file(const char* path) {
    if (path == nullptr) return;
    for (file_slot& slot : g_files)
        if (slot.used.load() && strcmp(slot.path, path) == 0) slot.used = false;
}

}  // namespace kv
