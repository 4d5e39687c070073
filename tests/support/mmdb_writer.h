// A minimal MaxMind DB writer for test databases that are too large to keep
// or that no writer would make: control bytes with their size, the few data
// types the tests need, and a whole IPv4 file around a tree and data.
#pragma once

#include <cstdint>
#include <string>

namespace vestrel::test {

// A control byte (and extended type byte) for `type` with `size`, any size
// below 16843036.
std::string mmdb_control(unsigned type, std::size_t size);
std::string mmdb_string(const std::string &s);
// An unsigned integer of `type` (5 uint16, 6 uint32, 9 uint64) in as few
// bytes as its value needs.
std::string mmdb_unsigned(unsigned type, std::uint64_t value);
// A map {"country": {"iso_code": country}, "continent": {"code": continent}}.
std::string mmdb_location(const std::string &country, const std::string &continent);
// Appends a 32-bit record.
void mmdb_record(std::string &tree, std::uint32_t value);
// A complete file: `tree` of `node_count` nodes with 32-bit records, the
// separator, `data` and metadata saying ip_version `ip_version`.
std::string mmdb_file(const std::string &tree, std::uint32_t node_count, const std::string &data,
                      unsigned ip_version);

} // namespace vestrel::test
