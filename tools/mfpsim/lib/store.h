// The device folder: every object in its own small key/value file, written atomically,
// so what clients change survives a restart and a crash loses at most the change under
// way.
//
//   device.ini                      identity, authentication, capabilities
//   counters.ini                    next document id, next print job id
//   users/<hex name>.ini            one per user
//   accounts/<hex name>.ini         one per account
//   boxes/<number>/box.ini          one per box (0 is the memory-RX box)
//   boxes/<number>/docs/<id>/doc.ini               document attributes
//   boxes/<number>/docs/<id>/page-0001.jpg|.tif    one image per page
//   boxes/<number>/docs/<id>/thumb.raw, thumb.jpg  device thumbnails
//   boxes/<number>/docs/<id>/content.bin           stored Office package (types 7-9)
//   jobs/<id>.ini                   print jobs received
//   faults.ini                      fault injection (read by the server, never written)
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/mfpsim/lib/model.h"

namespace mfpsim {

class Store {
public:
    explicit Store(std::filesystem::path root) : root_(std::move(root)) {}

    const std::filesystem::path& Root() const { return root_; }
    // Durable writes reach the disk before they count as done; bulk generation turns
    // this off for speed.
    void SetDurable(bool durable) { durable_ = durable; }
    // True when the folder holds no device yet (no device.ini).
    bool IsEmpty() const;
    // Reads every object. Unreadable objects are skipped and named in `warnings`.
    bool Load(DeviceState& out, std::vector<std::string>& warnings) const;
    // Writes the whole state and removes the box and document folders it does not hold
    // (used by the sample generator, --init and the tests' edits).
    bool SaveAll(const DeviceState& state) const;

    bool SaveIdentity(const Identity& identity) const;
    bool SaveCounters(const DeviceState& state) const;
    bool SaveUser(const User& user) const;
    bool SaveAccount(const Account& account) const;
    bool SaveBox(const Box& box) const;
    // Removes the box and every document in it.
    bool RemoveBox(int number) const;
    bool SaveDocument(const Document& doc) const;
    bool RemoveDocument(const Document& doc) const;
    // Moves the document's folder (attributes and content) to another box; `doc.box`
    // names the new box.
    bool MoveDocument(const Document& doc, int fromBox) const;
    // Copies the content files of `from` to `to` and writes `to`'s attributes.
    bool CopyDocument(const Document& from, const Document& to) const;
    bool SaveJob(const PrintJob& job) const;

    std::filesystem::path BoxDir(int number) const;
    std::filesystem::path DocumentDir(int box, int id) const;
    std::filesystem::path PagePath(const Document& doc, int page) const;
    bool WriteContent(const Document& doc, const std::string& file,
                      const std::vector<uint8_t>& data, bool durable = true) const;
    std::optional<std::vector<uint8_t>> ReadContent(const Document& doc,
                                                    const std::string& file) const;
    static std::string PageFileName(const Document& doc, int page);

    std::filesystem::path FaultsPath() const { return root_ / "faults.ini"; }

private:
    bool RemoveTree(const std::filesystem::path& dir) const;
    // Removes the box and document folders that the state does not hold.
    bool RemoveStale(const DeviceState& state) const;
    std::filesystem::path root_;
    bool durable_ = true;
};

// Encodings shared with tests.
std::string HexName(const std::string& name);
std::string FromHexName(const std::string& hex);

}  // namespace mfpsim
