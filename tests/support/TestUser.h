#pragma once

#include <memory>
#include <string>

namespace qm::test {

// A throwaway local account with a known password, for checks against the real password
// database. Only root can make one; the account is deleted again when the object goes away.
class TestUser {
public:
    // The new account, or nothing with the reason in `whyNot` (not root, a tool missing, ...).
    static std::unique_ptr<TestUser> create(std::string& whyNot);
    ~TestUser();
    TestUser(const TestUser&) = delete;
    TestUser& operator=(const TestUser&) = delete;

    const std::string& name() const { return name_; }
    const std::string& password() const { return password_; }

private:
    TestUser(std::string name, std::string password) : name_(std::move(name)), password_(std::move(password)) {}
    std::string name_;
    std::string password_;
};

}  // namespace qm::test
