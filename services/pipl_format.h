// The host's binary property-list layout, written by the build's generator and read back by
// our own host, the module checks and the tests. Header-only; the effect module itself never
// includes it.
//
// Windows: a 16-bit word 1, then u32 version (0) and u32 count, little-endian. Strings are
// padded with zeros to a multiple of 4 and the padding counts in their length, as the host's
// resource tool writes them.
// macOS: no leading word, big-endian, every length unpadded; zeros follow to the next
// multiple of 4.
// Each property: u32 vendor ('8BIM'), u32 key, u32 id (0), u32 length, the value, padding.
// Linux's list, read only by our own host, is the Windows one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "pipl_table.h"

namespace vz::pipl {

inline constexpr uint32_t kVendor = FourCC("8BIM");

enum class Endian { Little, Big };
enum class Platform { Windows, Mac };

inline Endian EndianOf(Platform p) { return p == Platform::Windows ? Endian::Little : Endian::Big; }
inline size_t FirstPropertyAt(Platform p) { return p == Platform::Windows ? 10 : 8; }
// A macOS bundle names its entry point once for each of its processors.
inline std::vector<uint32_t> EntryKeys(Platform p) {
  if (p == Platform::Windows) return {kKeyWindowsX64};
  return {kKeyMacIntel64, kKeyMacArm64};
}

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
  void PString(const char* s) {
    const std::string text(s);
    U8(uint8_t(text.size()));
    for (char c : text) U8(uint8_t(c));
  }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  Endian endian_;
  std::vector<uint8_t> bytes_;
};

inline bool IsString(const Property& p) {
  return p.kind == Kind::PString || p.kind == Kind::EntryPoint;
}

inline std::vector<uint8_t> ValueBytes(const Property& p, Platform platform) {
  Writer w(EndianOf(platform));
  switch (p.kind) {
    case Kind::FourCC:
    case Kind::Long: w.U32(p.number); break;
    case Kind::Short: w.U16(uint16_t(p.number)); break;
    case Kind::Version:
      w.U16(uint16_t(p.number >> 16));
      w.U16(uint16_t(p.number));
      break;
    case Kind::PString: w.PString(p.text); break;
    case Kind::EntryPoint:
      if (platform == Platform::Mac) {
        w.PString(p.text);
      } else {
        for (const char* c = p.text; *c; ++c) w.U8(uint8_t(*c));
        w.U8(0);
      }
      break;
  }
  return w.bytes();
}

// The whole list for one platform.
inline std::vector<uint8_t> Encode(Platform platform) {
  Writer w(EndianOf(platform));
  const std::vector<uint32_t> entry_keys = EntryKeys(platform);
  if (platform == Platform::Windows) w.U16(1);
  w.U32(0);
  w.U32(uint32_t(std::size(kProperties) - 1 + entry_keys.size()));
  const size_t first = FirstPropertyAt(platform);
  auto put = [&](uint32_t key, const Property& p) {
    std::vector<uint8_t> value = ValueBytes(p, platform);
    if (platform == Platform::Windows && IsString(p))
      value.resize((value.size() + 3) / 4 * 4, 0);
    w.U32(kVendor);
    w.U32(key);
    w.U32(0);
    w.U32(uint32_t(value.size()));
    for (uint8_t b : value) w.U8(b);
    while ((w.bytes().size() - first) % 4 != 0) w.U8(0);
  };
  for (const Property& p : kProperties) {
    if (p.kind != Kind::EntryPoint) put(p.key, p);
    else for (uint32_t key : entry_keys) put(key, p);
  }
  return w.bytes();
}

inline constexpr int kResourceId = 16000;  // the host's property-list resource id

// A Windows resource script holding the little-endian list as 16-bit words.
inline std::string ResourceScript(const std::vector<uint8_t>& list) {
  std::string rc = "// Written by vizmira_pipl_gen from services/pipl_table.h.\n";
  rc += std::to_string(kResourceId) + " PiPL\nBEGIN\n";
  for (size_t i = 0; i < list.size(); i += 2) {
    char word[16];
    const unsigned v = list[i] | (i + 1 < list.size() ? unsigned(list[i + 1]) << 8 : 0u);
    std::snprintf(word, sizeof word, "%s0x%04X", i % 16 == 0 ? "  " : ", ", v);
    rc += word;
    if (i % 16 == 14 || i + 2 >= list.size()) rc += i + 2 >= list.size() ? "\n" : ",\n";
  }
  return rc + "END\n";
}

// The list bytes back from a resource script written by ResourceScript.
inline std::optional<std::vector<uint8_t>> ParseResourceScript(const std::string& rc) {
  const size_t begin = rc.find("BEGIN"), end = rc.find("END", begin);
  if (begin == std::string::npos || end == std::string::npos) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (size_t at = rc.find("0x", begin); at != std::string::npos && at < end; at = rc.find("0x", at + 2)) {
    const unsigned v = unsigned(std::stoul(rc.substr(at + 2, 4), nullptr, 16));
    bytes.push_back(uint8_t(v));
    bytes.push_back(uint8_t(v >> 8));
  }
  return bytes;
}

// A macOS resource file (the data-fork resource format) with one resource, 'PiPL' 16000.
inline std::vector<uint8_t> ResourceFile(const std::vector<uint8_t>& list) {
  Writer w(Endian::Big);
  const uint32_t dataOffset = 256, dataLength = 4 + uint32_t(list.size());
  const uint32_t mapOffset = dataOffset + dataLength, mapLength = 28 + 2 + 8 + 12;
  w.U32(dataOffset); w.U32(mapOffset); w.U32(dataLength); w.U32(mapLength);
  while (w.bytes().size() < dataOffset) w.U8(0);
  w.U32(uint32_t(list.size()));
  for (uint8_t b : list) w.U8(b);
  // Map: a copy of the header, reserved handle and file reference, attributes, then the
  // offsets of the type list and of the (empty) name list.
  w.U32(dataOffset); w.U32(mapOffset); w.U32(dataLength); w.U32(mapLength);
  w.U32(0); w.U16(0); w.U16(0);
  w.U16(28); w.U16(uint16_t(mapLength));
  w.U16(0);                                     // one type
  w.U32(FourCC("PiPL")); w.U16(0); w.U16(2 + 8);  // one resource; its reference list
  w.U16(uint16_t(kResourceId)); w.U16(0xFFFF);  // id, no name
  w.U32(0);                                     // attributes 0, data at offset 0
  w.U32(0);                                     // reserved handle
  return w.bytes();
}

// The 'PiPL' 16000 resource of a resource file written by ResourceFile.
inline std::optional<std::vector<uint8_t>> ParseResourceFile(const std::vector<uint8_t>& f) {
  auto be32 = [&](size_t at) {
    return at + 4 > f.size() ? 0u : uint32_t(f[at]) << 24 | uint32_t(f[at + 1]) << 16 | uint32_t(f[at + 2]) << 8 | f[at + 3];
  };
  auto be16 = [&](size_t at) { return at + 2 > f.size() ? 0u : uint32_t(f[at]) << 8 | f[at + 1]; };
  const uint32_t dataOffset = be32(0), mapOffset = be32(4);
  if (f.size() < 16 || mapOffset >= f.size()) return std::nullopt;
  const size_t types = mapOffset + be16(mapOffset + 24);
  const unsigned typeCount = be16(types) + 1;
  for (unsigned t = 0; t < typeCount; ++t) {
    const size_t entry = types + 2 + 8 * t;
    if (be32(entry) != FourCC("PiPL")) continue;
    const unsigned count = be16(entry + 4) + 1;
    const size_t refs = types + be16(entry + 6);
    for (unsigned r = 0; r < count; ++r) {
      const size_t ref = refs + 12 * r;
      if (be16(ref) != unsigned(kResourceId)) continue;
      const size_t at = dataOffset + (be32(ref + 4) & 0xFFFFFF);
      const uint32_t length = be32(at);
      if (at + 4 + length > f.size()) return std::nullopt;
      return std::vector<uint8_t>(f.begin() + long(at) + 4, f.begin() + long(at + 4 + length));
    }
  }
  return std::nullopt;
}

struct DecodedProperty {
  uint32_t key = 0;
  std::vector<uint8_t> value;  // as stored: on Windows, strings keep their padding

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
                                                          Platform platform) {
  const Endian e = EndianOf(platform);
  const size_t first = FirstPropertyAt(platform);
  size_t pos = 0;
  auto u32 = [&](uint32_t& out) {
    if (pos + 4 > b.size()) return false;
    out = 0;
    for (int i = 0; i < 4; ++i)
      out = out << 8 | b[e == Endian::Big ? pos + size_t(i) : pos + 3 - size_t(i)];
    pos += 4;
    return true;
  };
  if (b.size() < first) return std::nullopt;
  if (platform == Platform::Windows && (b[0] != 1 || b[1] != 0)) return std::nullopt;
  pos = first - 8;
  uint32_t version = 0, count = 0;
  if (!u32(version) || !u32(count) || version != 0) return std::nullopt;
  std::vector<DecodedProperty> out;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t vendor = 0, id = 0, len = 0;
    DecodedProperty p;
    if (!u32(vendor) || !u32(p.key) || !u32(id) || !u32(len)) return std::nullopt;
    if (vendor != kVendor || len > b.size() - pos) return std::nullopt;
    p.value.assign(b.begin() + long(pos), b.begin() + long(pos + len));
    pos += len;
    while ((pos - first) % 4 != 0 && pos < b.size()) ++pos;
    out.push_back(std::move(p));
  }
  for (; pos < b.size(); ++pos)  // a resource may be padded, with zeros only
    if (b[pos] != 0) return std::nullopt;
  return out;
}

}  // namespace vz::pipl
