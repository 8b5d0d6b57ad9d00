#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "HostApp/App/HostOnlineUpdateRequest.h"
#include "support/TestPlatform.h"

namespace qm::test {

// A stand-in for the system updater on a folder of its own: it installs its service file and
// request folder, reads the Host's request files and reports progress by rewriting the status
// file, as the real one would.
class TestUpdater {
public:
    explicit TestUpdater(bool installed = true);
    const HostOnlineUpdateRequest::Locations& locations() const { return locations_; }

    // The request files in the folder, as dictionaries of their entries (values as text; the
    // "schema" entry as "integer:<n>" so a string "1" would show).
    std::map<std::string, std::map<std::string, std::string>> requests() const;
    std::vector<std::string> cancelFiles() const;
    // The identifier of the only request file; empty when there is not exactly one.
    std::string onlyRequestIdentifier() const;

    // Writes the status file for `requestID`. Optional texts left out are not written.
    void report(const std::string& requestID, const std::string& state, std::map<std::string, std::string> extra = {},
                bool binary = false);
    void writeRawStatus(const std::string& content);
    void removeStatus();

private:
    TemporaryDirectory root_;
    HostOnlineUpdateRequest::Locations locations_;
};

}  // namespace qm::test
