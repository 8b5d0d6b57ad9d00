#include "support/TestUser.h"

#include "Platform/Process.h"

#include <unistd.h>

#include <vector>

#include "Platform/Core/Crypto.h"

namespace qm::test {

namespace {

// The exit status of a program run without a shell, with `input` on its standard input; -1 when
// it could not be started.
int run(const std::vector<std::string>& args, const std::string& input = {}) {
    auto result = runProcess(args, std::chrono::seconds(30), input);
    return result ? result->exitStatus : -1;
}

}  // namespace

std::unique_ptr<TestUser> TestUser::create(std::string& whyNot) {
    if (::geteuid() != 0) {
        whyNot = "creating a local account needs root (the tests run as uid " + std::to_string(::geteuid()) + ")";
        return nullptr;
    }
    for (const char* tool : {"/usr/sbin/useradd", "/usr/sbin/chpasswd", "/usr/sbin/userdel"}) {
        if (::access(tool, X_OK) != 0) {
            whyNot = std::string(tool) + " is missing (package passwd)";
            return nullptr;
        }
    }
    auto nameBytes = crypto::randomBytes(4);
    auto passwordBytes = crypto::randomBytes(9);
    if (!nameBytes || !passwordBytes) {
        whyNot = "random generator failed";
        return nullptr;
    }
    std::string name = "qmtest" + crypto::hexString(*nameBytes);
    std::string password = "Qm-" + crypto::hexString(*passwordBytes) + "!";
    if (run({"/usr/sbin/useradd", "-M", "-s", "/usr/sbin/nologin", name}) != 0) {
        whyNot = "useradd failed for " + name;
        return nullptr;
    }
    // From here the destructor deletes the account, whatever happens next.
    std::unique_ptr<TestUser> user(new TestUser(name, password));
    if (run({"/usr/sbin/chpasswd"}, name + ":" + password + "\n") != 0) {
        whyNot = "chpasswd failed for " + name;
        return nullptr;
    }
    return user;
}

TestUser::~TestUser() { run({"/usr/sbin/userdel", name_}); }

}  // namespace qm::test
