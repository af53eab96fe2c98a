#include "json_out.hpp"

#include <iostream>

namespace rztool {

void print_json(const ojson &doc) {
    std::cout << doc.dump(2, ' ', false, ojson::error_handler_t::replace) << '\n';
}

ojson header_json(const HeaderInfo &header) {
    ojson j;
    j["valid"] = header.valid();
    j["result"] = header.checkCode;
    j["stored_crc"] = header.storedCrc;
    j["computed_crc"] = header.computedCrc;
    return j;
}

ojson extension_json(const ExtensionInfo &ext) {
    ojson j;
    j["state"] = ext_state_name(ext.state);
    j["result"] = ext.code;
    j["message"] = ext.message;
    j["count"] = ext.count;
    return j;
}

}  // namespace rztool
