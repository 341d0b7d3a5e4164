// The host's binary property-list layout, written by the build's generator and read back by
// our own host and the tests. Header-only; the effect module itself never includes it.
//
// Layout: u16 reserved (1), u32 version (0), u32 count, then per property: u32 vendor
// ('8BIM'), u32 key, u32 id (0), u32 length of the value, the value padded with zeros to a
// multiple of 4 bytes. Numbers are in the target's byte order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pipl_table.h"

namespace vz::pipl {

inline constexpr uint32_t kVendor = FourCC("8BIM");

enum class Endian { Little, Big };

class Writer {
 public:
  explicit Writer(Endian e) : endian_(e) {}
  void U8(uint8_t v) { bytes_.push_back(v); }
  void U16(uint16_t v) {
    if (endian_ == Endian::Big) { U8(uint8_t(v >> 8)); U8(uint8_t(v)); }
    else { U8(uint8_t(v)); U8(uint8_t(v >> 8)); }
  }
  void U32(uint32_t v) {
    if (endian_ == Endian::Big) { U16(uint16_t(v >> 16)); U16(uint16_t(v)); }
    else { U16(uint16_t(v)); U16(uint16_t(v >> 16)); }
  }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  Endian endian_;
  std::vector<uint8_t> bytes_;
};

inline std::vector<uint8_t> ValueBytes(const Property& p, Endian e) {
  Writer w(e);
  switch (p.kind) {
    case Kind::FourCC:
    case Kind::Long: w.U32(p.number); break;
    case Kind::Short: w.U16(uint16_t(p.number)); break;
    case Kind::PString: {
      std::string s(p.text);
      w.U8(uint8_t(s.size()));
      for (char c : s) w.U8(uint8_t(c));
      break;
    }
    case Kind::CString:
      for (const char* c = p.text; *c; ++c) w.U8(uint8_t(*c));
      w.U8(0);
      break;
  }
  return w.bytes();
}

// The whole list for one target, with that target's entry-point key.
inline std::vector<uint8_t> Encode(uint32_t entry_key, Endian e) {
  Writer w(e);
  w.U16(1);
  w.U32(0);
  w.U32(uint32_t(std::size(kProperties)));
  for (const Property& p : kProperties) {
    std::vector<uint8_t> value = ValueBytes(p, e);
    w.U32(kVendor);
    w.U32(p.key == kEntryPointKeyPlaceholder ? entry_key : p.key);
    w.U32(0);
    w.U32(uint32_t(value.size()));
    for (uint8_t b : value) w.U8(b);
    while (w.bytes().size() % 4 != 2) w.U8(0);  // the list starts after a 2-byte word
  }
  return w.bytes();
}

struct DecodedProperty {
  uint32_t key = 0;
  std::vector<uint8_t> value;  // unpadded

  uint32_t Number(Endian e) const {
    uint32_t v = 0;
    if (e == Endian::Big) for (uint8_t b : value) v = (v << 8) | b;
    else for (size_t i = value.size(); i-- > 0;) v = (v << 8) | value[i];
    return v;
  }
  std::string PString() const {
    if (value.empty() || value[0] + 1u > value.size()) return {};
    return std::string(value.begin() + 1, value.begin() + 1 + value[0]);
  }
  std::string CString() const {
    std::string s(value.begin(), value.end());
    return s.substr(0, s.find('\0'));
  }
};

// Parses a list; nullopt when it is malformed or truncated.
inline std::optional<std::vector<DecodedProperty>> Decode(const std::vector<uint8_t>& b,
                                                          Endian e) {
  size_t pos = 0;
  auto u32 = [&](uint32_t& out) {
    if (pos + 4 > b.size()) return false;
    DecodedProperty tmp;
    tmp.value.assign(b.begin() + pos, b.begin() + pos + 4);
    out = tmp.Number(e);
    pos += 4;
    return true;
  };
  if (b.size() < 10) return std::nullopt;
  pos = 2;
  uint32_t version = 0, count = 0;
  if (!u32(version) || !u32(count) || version != 0) return std::nullopt;
  std::vector<DecodedProperty> out;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t vendor = 0, id = 0, len = 0;
    DecodedProperty p;
    if (!u32(vendor) || !u32(p.key) || !u32(id) || !u32(len)) return std::nullopt;
    if (vendor != kVendor || len > b.size() - pos) return std::nullopt;
    p.value.assign(b.begin() + pos, b.begin() + pos + len);
    pos += len;
    while (pos % 4 != 2 && pos < b.size()) ++pos;
    out.push_back(std::move(p));
  }
  return out;
}

}  // namespace vz::pipl
