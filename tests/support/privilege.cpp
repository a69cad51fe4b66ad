// Capable helper copies and child processes as nobody (see privilege.h).
#include "tests/support/privilege.h"

#include "tests/support/netns.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace testlab {

namespace {

constexpr uid_t kNobody = 65534;

struct HelperCopy {
    std::string path;
    std::string problem;
    std::string dir;
    ~HelperCopy() {
        if (!dir.empty())
            std::filesystem::remove_all(dir);
    }
};

HelperCopy MakeHelperCopy() {
    HelperCopy copy;
    char dir[] = "/tmp/tvhelper-XXXXXX";
    if (!::mkdtemp(dir)) {
        copy.problem = std::string("mkdtemp: ") + std::strerror(errno);
        return copy;
    }
    copy.dir = dir;
    ::chmod(dir, 0755);
    const std::string path = copy.dir + "/tavisol-sockets";
    std::error_code error;
    std::filesystem::copy_file(TAVISOL_SOCKETS_HELPER_BUILT, path, error);
    if (error) {
        copy.problem =
            "cannot copy " + std::string(TAVISOL_SOCKETS_HELPER_BUILT) + ": " + error.message();
        return copy;
    }
    ::chmod(path.c_str(), 0755);
    const std::string setcap =
        "setcap cap_net_bind_service,cap_net_raw+ep " + path + " >/dev/null 2>&1";
    if (std::system(setcap.c_str()) != 0) {
        copy.problem = "setcap failed (needs root and libcap2-bin) on " + path;
        return copy;
    }
    copy.path = path;
    return copy;
}

} // namespace

std::string CapableHelper(std::string* problem) {
    if (!PrivateNetworkProblem().empty()) {
        *problem = PrivateNetworkProblem();
        return {};
    }
    static HelperCopy copy = MakeHelperCopy();
    *problem = copy.problem;
    return copy.path;
}

std::string AsNobody(const std::function<std::string()>& check) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return std::string("pipe: ") + std::strerror(errno);
    pid_t pid = ::fork();
    if (pid < 0)
        return std::string("fork: ") + std::strerror(errno);
    if (pid == 0) {
        ::close(report[0]);
        std::string result;
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0)
            result = std::string("cannot become nobody: ") + std::strerror(errno);
        else
            result = check();
        if (result.empty())
            result = "ok";
        ssize_t written = ::write(report[1], result.data(), result.size());
        ::_exit(written == static_cast<ssize_t>(result.size()) ? 0 : 1);
    }
    ::close(report[1]);
    std::string result;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(report[0], buffer, sizeof buffer)) > 0)
        result.append(buffer, static_cast<std::size_t>(n));
    ::close(report[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status))
        return "the child as nobody crashed (status " + std::to_string(status) + ")";
    return result == "ok" ? std::string() : (result.empty() ? "no report" : result);
}

bool SetNetworkSysctl(const std::string& name, const std::string& value) {
    std::ofstream file("/proc/sys/" + name);
    file << value;
    file.close();
    return static_cast<bool>(file);
}

} // namespace testlab
