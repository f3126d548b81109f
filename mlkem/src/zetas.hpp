// Arithmetic constants shared by the backends, so that both compute the same representatives.
#pragma once

#include <cstdint>

#include "params.hpp"

namespace mlkem768::detail {

inline constexpr std::int16_t kQinv = -3327;        // q^-1 mod 2^16
inline constexpr std::int16_t kMont2 = 1353;        // R^2 mod q
inline constexpr std::int16_t kInvNttScale = 1441;  // R^2 / 128 mod q
inline constexpr std::int16_t kBarrettV = 20159;    // round(2^26 / q)

// zeta^BitRev7(i) * R mod q, centred, zeta = 17.
inline constexpr std::int16_t kZetas[128] = {
    -1044, -758,  -359,  -1517, 1493,  1422,  287,   202,   -171,  622,   1577,  182,   962,
    -1202, -1474, 1468,  573,   -1325, 264,   383,   -829,  1458,  -1602, -130,  -681,  1017,
    732,   608,   -1542, 411,   -205,  -1571, 1223,  652,   -552,  1015,  -1293, 1491,  -282,
    -1544, 516,   -8,    -320,  -666,  -1618, -1162, 126,   1469,  -853,  -90,   -271,  830,
    107,   -1421, -247,  -951,  -398,  961,   -1508, -725,  448,   -1065, 677,   -1275, -1103,
    430,   555,   843,   -1251, 871,   1550,  105,   422,   587,   177,   -235,  -291,  -460,
    1574,  1653,  -246,  778,   1159,  -147,  -777,  1483,  -602,  1119,  -1590, 644,   -872,
    349,   418,   329,   -156,  -75,   817,   1097,  603,   610,   1322,  -1285, -1465, 384,
    -1215, -136,  1218,  -1335, -874,  220,   -1187, -1659, -1185, -1530, -1278, 794,   -1510,
    -854,  -870,  478,   -108,  -308,  996,   991,   958,   -1460, 1522,  1628,
};

// b * q^-1 mod 2^16, the second factor of a Montgomery product by b.
constexpr std::int16_t times_qinv(std::int16_t b) noexcept {
  return static_cast<std::int16_t>(b * kQinv);
}

}  // namespace mlkem768::detail
