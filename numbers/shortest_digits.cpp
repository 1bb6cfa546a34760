#include "numbers/shortest_digits.h"

#include <array>
#include <cstddef>

// The table of powers of ten, worked out by the compiler: each power as an
// exact integer of 64-bit limbs, its top 128 bits taken and one added.

namespace cellscale::shortest_detail {
namespace {

constexpr int kPowerCount = kMaxPowerOfTen - kMinPowerOfTen + 1;

// 10^324 is below 2^1077, and 2^kNegativeScale / 10^292 keeps more than 128
// bits: 18 and 20 limbs.
constexpr std::size_t kLimbs = 20;
constexpr int kNegativeScale = 1216;
using Limbs = std::array<std::uint64_t, kLimbs>;

constexpr int bit_length(const Limbs& number) {
  for (std::size_t i = kLimbs; i-- > 0;) {
    if (number[i] != 0) return static_cast<int>(i * 64 + std::bit_width(number[i]));
  }
  return 0;
}

// Bits [from, from + 64) of the number, zeros past its top.
constexpr std::uint64_t bits_at(const Limbs& number, int from) {
  const auto limb = static_cast<std::size_t>(from / 64);
  const int shift = from % 64;
  const std::uint64_t low = limb < kLimbs ? number[limb] >> shift : 0;
  const std::uint64_t high = shift != 0 && limb + 1 < kLimbs ? number[limb + 1] << (64 - shift) : 0;
  return low | high;
}

// floor(number * 2^(128 - bit_length)) + 1: the top 128 bits, one added.
constexpr PowerOfTen top_bits_plus_one(const Limbs& number) {
  const int length = bit_length(number);
  PowerOfTen power{};
  if (length >= 128) {
    power.high = bits_at(number, length - 64);
    power.low = bits_at(number, length - 128);
  } else {
    // Only 10^e below 2^128 (e up to 38), shifted up whole: one limb or two.
    const int shift = 128 - length;
    const UInt128 whole = (static_cast<UInt128>(number[1]) << 64) | number[0];
    const UInt128 shifted = whole << shift;
    power.high = static_cast<std::uint64_t>(shifted >> 64);
    power.low = static_cast<std::uint64_t>(shifted);
  }
  ++power.low;
  if (power.low == 0) ++power.high;
  return power;
}

constexpr std::array<PowerOfTen, kPowerCount> make_powers_of_ten() {
  std::array<PowerOfTen, kPowerCount> powers{};
  // 10^0 to 10^kMaxPowerOfTen: times ten, limb by limb.
  Limbs number{};
  number[0] = 1;
  for (int e = 0; e <= kMaxPowerOfTen; ++e) {
    powers[static_cast<std::size_t>(e - kMinPowerOfTen)] = top_bits_plus_one(number);
    std::uint64_t carry = 0;
    for (std::uint64_t& limb : number) {
      const UInt128 product = static_cast<UInt128>(limb) * 10 + carry;
      limb = static_cast<std::uint64_t>(product);
      carry = static_cast<std::uint64_t>(product >> 64);
    }
  }
  // 10^-1 down to 10^kMinPowerOfTen: floor(2^kNegativeScale / 10^m), divided
  // by ten again for each m (the floor of a floor divided by ten is the floor
  // of the exact quotient); its top bits are those of 10^-m.
  number = Limbs{};
  number[kNegativeScale / 64] = std::uint64_t{1} << (kNegativeScale % 64);
  for (int e = -1; e >= kMinPowerOfTen; --e) {
    std::uint64_t remainder = 0;
    for (std::size_t i = kLimbs; i-- > 0;) {
      const UInt128 dividend = (static_cast<UInt128>(remainder) << 64) | number[i];
      number[i] = static_cast<std::uint64_t>(dividend / 10);
      remainder = static_cast<std::uint64_t>(dividend % 10);
    }
    powers[static_cast<std::size_t>(e - kMinPowerOfTen)] = top_bits_plus_one(number);
  }
  return powers;
}

constexpr std::array<PowerOfTen, kPowerCount> kTable = make_powers_of_ten();

// 10^0 is exactly 2^127 before the one added; 10^1 is 1.25 * 2^3.
static_assert(kTable[-kMinPowerOfTen].high == std::uint64_t{1} << 63 && kTable[-kMinPowerOfTen].low == 1);
static_assert(kTable[1 - kMinPowerOfTen].high == std::uint64_t{5} << 61 && kTable[1 - kMinPowerOfTen].low == 1);
// Every power keeps its top bit (none reached 2^128 with the one added).
constexpr bool all_top_bits_set() {
  for (const PowerOfTen& power : kTable) {
    if ((power.high >> 63) == 0) return false;
  }
  return true;
}
static_assert(all_top_bits_set());

}  // namespace

constinit const std::array<PowerOfTen, kMaxPowerOfTen - kMinPowerOfTen + 1> kPowersOfTen = kTable;

}  // namespace cellscale::shortest_detail
