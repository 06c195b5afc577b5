// Confinement: resource limits, no new privileges and a seccomp filter (libseccomp).
#include "Confinement.h"

#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace ruvo::audio {

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// A sanitizer's shadow memory takes terabytes of address space; its builds go without that bound.
constexpr bool kBoundAddressSpace = false;
#else
constexpr bool kBoundAddressSpace = true;
#endif

// The largest file the helper writes: its output (a ringtone is well under a megabyte) and
// GStreamer's registry cache.
constexpr rlim_t kMaxFileSize = 64 * 1024 * 1024;
constexpr rlim_t kMaxOpenFiles = 256;

bool Limit(int resource, rlim_t soft, rlim_t hard, const char* what, std::string& reason) {
    const rlimit limit{soft, hard};
    if (setrlimit(resource, &limit) == 0) return true;
    reason = std::string("cannot limit the converter's ") + what + ": " + std::strerror(errno);
    return false;
}

struct FilterRelease {
    void operator()(void* context) const { seccomp_release(context); }
};

bool InstallFilter(std::string& reason) {
    std::unique_ptr<void, FilterRelease> context(seccomp_init(SCMP_ACT_ALLOW));
    if (!context) {
        reason = "cannot make the converter's system-call filter";
        return false;
    }
    void* ctx = context.get();
    int failed = 0;
    const auto add = [&](uint32_t action, int call, unsigned count, const scmp_arg_cmp* args) {
        if (seccomp_rule_add_array(ctx, action, call, count, args) != 0) ++failed;
    };
    // No network: sockets of any family but local ones (GLib and GStreamer wake threads over
    // local socket pairs).
    const scmp_arg_cmp notLocal[] = {SCMP_A0(SCMP_CMP_NE, AF_UNIX)};
    add(SCMP_ACT_ERRNO(EACCES), SCMP_SYS(socket), 1, notLocal);
    // No programs and no processes: threads only, so that killing the helper ends everything it
    // started. clone3 hides its flags from a filter: it answers ENOSYS, and the C library falls
    // back to clone, whose flags are checked.
    add(SCMP_ACT_ERRNO(EPERM), SCMP_SYS(execve), 0, nullptr);
    add(SCMP_ACT_ERRNO(EPERM), SCMP_SYS(execveat), 0, nullptr);
    add(SCMP_ACT_ERRNO(EPERM), SCMP_SYS(fork), 0, nullptr);
    add(SCMP_ACT_ERRNO(EPERM), SCMP_SYS(vfork), 0, nullptr);
    add(SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0, nullptr);
    const scmp_arg_cmp noThread[] = {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0)};
    add(SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1, noThread);
    // io_uring could open sockets past the filter: it is not there.
    add(SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(io_uring_setup), 0, nullptr);
    // Nothing else to look into or leave its group for.
    add(SCMP_ACT_ERRNO(EPERM), SCMP_SYS(ptrace), 0, nullptr);
    add(SCMP_ACT_ERRNO(EPERM), SCMP_SYS(process_vm_writev), 0, nullptr);
    add(SCMP_ACT_ERRNO(EPERM), SCMP_SYS(setsid), 0, nullptr);
    add(SCMP_ACT_ERRNO(EPERM), SCMP_SYS(setpgid), 0, nullptr);
    if (failed != 0 || seccomp_load(ctx) != 0) {
        reason = "cannot load the converter's system-call filter";
        return false;
    }
    return true;
}

}  // namespace

bool ConfineHelper(std::chrono::milliseconds bound, std::string& reason) {
    // Processor time: two busy threads for the whole bound, and a little.
    const auto seconds = static_cast<rlim_t>(std::chrono::ceil<std::chrono::seconds>(bound).count());
    const rlim_t cpu = 2 * seconds + 5;
    if (kBoundAddressSpace && !Limit(RLIMIT_AS, kHelperAddressSpace, kHelperAddressSpace, "memory", reason))
        return false;
    if (!Limit(RLIMIT_CPU, cpu, cpu + 1, "processor time", reason) ||
        !Limit(RLIMIT_FSIZE, kMaxFileSize, kMaxFileSize, "file size", reason) ||
        !Limit(RLIMIT_NOFILE, kMaxOpenFiles, kMaxOpenFiles, "open files", reason) ||
        !Limit(RLIMIT_CORE, 0, 0, "core dumps", reason))
        return false;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        reason = std::string("cannot drop the converter's privileges: ") + std::strerror(errno);
        return false;
    }
    return InstallFilter(reason);
}

}  // namespace ruvo::audio
