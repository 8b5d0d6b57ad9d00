#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace qm {

// Who may have a password checked, and when: each remote address has a small share of the
// checks, and an address whose checks keep failing waits longer and longer before its next one
// runs (as SSH servers do). The running-check limit itself is the caller's; this holder only
// decides per address. An "address" is whatever key the caller counts a machine by: the server
// gives the address group (admissionGroup), so the addresses of one IPv6 /64 have one share and
// one slow-down between them. Owned by the server queue; times are uptime nanoseconds.
class SignInLimits {
public:
    struct Limits {
        // Attempts one address may have waiting or being checked at once.
        std::size_t perAddress = 2;
        // Failures in a row that cost nothing; each one after that doubles the wait.
        std::uint32_t freeFailures = 1;
        double firstDelay = 1.0;
        double maxDelay = 30.0;
        // Addresses remembered at most; the one seen longest ago (with nothing in hand) goes first.
        std::size_t maxAddresses = 1024;
        // Failures are forgotten this long after the last one.
        double failureMemory = 600.0;
    };

    SignInLimits() : SignInLimits(Limits{}) {}
    explicit SignInLimits(Limits limits) : limits_(limits) {}

    // Reserves one of the address's share for an attempt: the seconds its check must wait before
    // it runs (0: at once), or nothing when the address already has its share in hand (or every
    // remembered address has, and the table is full).
    std::optional<double> admit(const std::string& address, std::uint64_t nowNs);

    enum class Outcome {
        notChecked,  // no answer about the password (busy, unavailable, the session left)
        accepted,
        refused,     // a wrong password or user name
    };
    // The attempt admitted for `address` is over. True when this refusal starts slowing the
    // address down (once, until a success or until its failures are forgotten).
    bool finish(const std::string& address, Outcome outcome, std::uint64_t nowNs);

    // The wait an address's next check would have, for its current run of failures.
    double delayAfter(std::uint32_t failures) const;
    // True while the address's failures in a row make its checks wait.
    bool slowsDown(const std::string& address) const;
    std::size_t addressCount() const { return entries_.size(); }
    // Addresses with an attempt admitted and not yet finished.
    std::size_t addressesWithAttemptsInHand() const;

private:
    struct Entry {
        std::size_t inHand = 0;
        std::uint32_t failures = 0;
        std::uint64_t nextCheckNs = 0;   // no check of this address starts before this
        std::uint64_t lastFailureNs = 0;
        std::uint64_t lastSeenNs = 0;
        bool slowed = false;             // the slow-down was announced
    };
    void forgetExpired(std::uint64_t nowNs);
    bool makeRoom();

    Limits limits_;
    std::unordered_map<std::string, Entry> entries_;
};

}  // namespace qm
