// Boxes and documents for the vesk commands and the demo: picking them the way the
// command line names them, opening a box with its password, and their rows for tables
// and JSON. Every pointer handed out belongs to the device item and is valid only while
// its session lasts (the device's disconnect destroys its boxes).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tools/vesk/cli.h"
#include "tools/vesk/password.h"

class CVESKMFPBox;
class CVESKDocument;

namespace vesk::cli {

// The device's fields hold 61 and 91 bytes with the terminating zero.
inline constexpr size_t kMaxBoxNameBytes = 60;
inline constexpr size_t kMaxDocNameBytes = 90;
inline constexpr size_t kMaxOwnerBytes = 192;

// --box-password-file FILE, read with VESK_BOX_PASSWORD.
const OptionDef& BoxPasswordFileOption();

// A new name for a box or a document: CheckTypedName, and not a number (numbers pick
// boxes and documents) nor an option.
void CheckNewName(const std::string& name, const std::string& what, size_t maxBytes);

// The device's boxes, listed afresh in its order (memory-RX box first). A device without
// user boxes gives what it has. Throws Failure when the list fails.
std::vector<CVESKMFPBox*> ListBoxes(CVESKMFPDevice& d);
// A box by number (decimal) or by name: an exact name first, else one that differs
// only in letter case. Throws Failure when there is none or more than one.
CVESKMFPBox& FindBox(CVESKMFPDevice& d, const std::string& which);
// `box 3 "Secure"`, safe to print.
std::string BoxLabel(CVESKMFPBox& box);

// Logged into a box for the object's lifetime. The password is read only when the box
// asks for one: from --box-password-file, VESK_BOX_PASSWORD or a prompt on a terminal.
class OpenBox {
public:
    OpenBox(CVESKMFPDevice& d, CVESKMFPBox& box, const std::optional<std::string>& passwordFile);
    ~OpenBox();
    OpenBox(const OpenBox&) = delete;
    OpenBox& operator=(const OpenBox&) = delete;

    // The box's documents, listed afresh; empty when it holds none.
    std::vector<CVESKDocument*> Documents();

private:
    CVESKMFPDevice& m_device;
    CVESKMFPBox& m_box;
};

// A document by id (decimal) or by name, with or without its extension: exact first,
// else differing only in letter case. Throws Failure when there is none or the name
// fits more than one.
CVESKDocument& FindDocument(const std::vector<CVESKDocument*>& docs, const std::string& which);

// Table rows and JSON objects, shared by the commands and the demo.
std::vector<std::string> BoxHeader();
std::vector<std::string> BoxRow(CVESKMFPBox& box);
nlohmann::ordered_json BoxJson(CVESKMFPBox& box);
std::vector<std::string> DocumentHeader();
std::vector<std::string> DocumentRow(CVESKDocument& doc);
nlohmann::ordered_json DocumentJson(CVESKDocument& doc);
// Pretty JSON on stdout; text that is not UTF-8 is replaced, never refused.
void PrintJson(const nlohmann::ordered_json& value);

// A new password for a box: from the file option or the variable when given, else typed
// twice at a prompt. Throws UsageError without a source, Failure when the two differ.
Secret ReadNewBoxPassword(const std::optional<std::string>& file, const char* variable,
                          const std::string& fileOption, const std::string& what);

}  // namespace vesk::cli
