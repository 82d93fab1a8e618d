#pragma once

#include <cstdint>
#include <string>

// PE images with a version resource, made at test time from the tiny image of
// the signature tests.
namespace zuvelo::test {

// A version block ("VS_VERSION_INFO") whose fixed file information gives the file version a.b.c.d.
std::string FixedVersionBlock(uint16_t a, uint16_t b, uint16_t c, uint16_t d);

// A tiny PE image whose resource section holds block as its version resource
// (type 16, name 1, language 0x409).
std::string PeImageWithVersion(const std::string& block);

}  // namespace zuvelo::test
