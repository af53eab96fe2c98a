// JSON output shared by info, list and verify. Keys keep their insertion
// order so the printed documents read like the schema in rerazera(1).
// Every document carries "schema": 1; a change that removes or renames a key
// raises it, additions keep it.
#pragma once

#include <nlohmann/json.hpp>

#include "package.hpp"

namespace rztool {

using ojson = nlohmann::ordered_json;

// Pretty-printed on stdout; bytes that are not UTF-8 (names and
// descriptions come from packages) are replaced rather than refused.
void print_json(const ojson &doc);

// {"valid", "result", "stored_crc", "computed_crc"}
ojson header_json(const HeaderInfo &header);
// {"state", "result", "message", "count"}
ojson extension_json(const ExtensionInfo &ext);

}  // namespace rztool
