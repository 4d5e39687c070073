#include "support/mmdb_writer.h"

namespace vestrel::test {

std::string mmdb_control(unsigned type, std::size_t size) {
    std::string out;
    unsigned low;
    std::string extra;
    if (size < 29) {
        low = static_cast<unsigned>(size);
    } else if (size < 285) {
        low = 29;
        extra += static_cast<char>(size - 29);
    } else if (size < 65821) {
        low = 30;
        extra += static_cast<char>((size - 285) >> 8);
        extra += static_cast<char>((size - 285) & 0xff);
    } else {
        low = 31;
        extra += static_cast<char>((size - 65821) >> 16);
        extra += static_cast<char>((size - 65821) >> 8 & 0xff);
        extra += static_cast<char>((size - 65821) & 0xff);
    }
    if (type <= 7) {
        out += static_cast<char>(type << 5 | low);
    } else {
        out += static_cast<char>(low);
        out += static_cast<char>(type - 7);
    }
    return out + extra;
}

std::string mmdb_string(const std::string &s) {
    return mmdb_control(2, s.size()) + s;
}

std::string mmdb_unsigned(unsigned type, std::uint64_t value) {
    std::string bytes;
    for (; value != 0; value >>= 8)
        bytes.insert(bytes.begin(), static_cast<char>(value & 0xff));
    return mmdb_control(type, bytes.size()) + bytes;
}

std::string mmdb_location(const std::string &country, const std::string &continent) {
    return mmdb_control(7, 2) + mmdb_string("continent") + mmdb_control(7, 1) +
           mmdb_string("code") + mmdb_string(continent) + mmdb_string("country") +
           mmdb_control(7, 1) + mmdb_string("iso_code") + mmdb_string(country);
}

void mmdb_record(std::string &tree, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        tree += static_cast<char>(value >> shift & 0xff);
}

std::string mmdb_file(const std::string &tree, std::uint32_t node_count, const std::string &data,
                      unsigned ip_version) {
    std::string metadata = mmdb_control(7, 9);
    metadata += mmdb_string("binary_format_major_version") + mmdb_unsigned(5, 2);
    metadata += mmdb_string("binary_format_minor_version") + mmdb_unsigned(5, 0);
    metadata += mmdb_string("build_epoch") + mmdb_unsigned(9, 1704067200);
    metadata += mmdb_string("database_type") + mmdb_string("Vestrel-Test");
    metadata += mmdb_string("description") + mmdb_control(7, 0);
    metadata += mmdb_string("ip_version") + mmdb_unsigned(5, ip_version);
    metadata += mmdb_string("languages") + mmdb_control(11, 0);
    metadata += mmdb_string("node_count") + mmdb_unsigned(6, node_count);
    metadata += mmdb_string("record_size") + mmdb_unsigned(5, 32);
    return tree + std::string(16, '\0') + data + std::string("\xab\xcd\xefMaxMind.com") + metadata;
}

} // namespace vestrel::test
