// The fixed values of the default password derivation. The update server derives the same
// password from the EEPROM contents it recorded at production, so none of these may change
// without changing the server's side as well.
#pragma once

#include <cstddef>

namespace device_secrets {

// Size of one EEPROM block; Vorlan boards hash a core block followed by a carrier block.
constexpr std::size_t kBlockSize = 21;

// Core-data correction. Boards of hardware revision 2.12 left production with a core EEPROM
// claiming core revision "C1.00" where the fitted core is revision 1.04. Both markers are
// 5 bytes at offset 11 of their block: kRevision212Marker in the carrier (second) block,
// kBadCoreMarker in the core (first) block. The fix writes kCoreFixDigits over offsets 14
// and 15 of the core block, turning "C1.00" into "C1.04".
constexpr std::size_t kMarkerOffset = 11;
constexpr char kRevision212Marker[] = "R2.12";
constexpr char kBadCoreMarker[] = "C1.00";
constexpr std::size_t kCoreFixOffset = 14;
constexpr char kCoreFixDigits[] = "04";

// Carrier-data correction. Every carrier EEPROM should hold the 5 bytes kCarrierFixedString at
// offset 16; some were programmed without it, and the server hashes the intended contents.
constexpr std::size_t kCarrierFixedOffset = 16;
constexpr char kCarrierFixedString[] = "TAVCB";

// One password character per digest byte, indexed by the byte's low 6 bits: upper-case
// letters, lower-case letters, digits, '-' and '_' (the URL-safe base64 alphabet), chosen so
// that the password needs no quoting in HTTP headers, XML attributes or shells.
constexpr char kPasswordAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::size_t kPasswordLength = 12;

static_assert(sizeof kRevision212Marker - 1 == 5 && sizeof kBadCoreMarker - 1 == 5, "markers are 5 bytes");
static_assert(sizeof kCoreFixDigits - 1 == 2, "the core fix writes 2 bytes");
static_assert(kCoreFixOffset + 2 <= kMarkerOffset + 5, "the core fix stays inside the marker");
static_assert(sizeof kCarrierFixedString - 1 == 5 && kCarrierFixedOffset + 5 == kBlockSize, "5 bytes ending the block");
static_assert(sizeof kPasswordAlphabet - 1 == 64, "one character per 6-bit value");

}  // namespace device_secrets
