#pragma once

// The device key file: a stable random 32-byte key per device.

#include <string_view>

#include "vostrel/common.hpp"

namespace vostrel::keystore {

// Loads the 32-byte key at `path`, or writes a new random one there when the file is absent,
// unreadable or of another length. File system failures are absorbed: the key is returned even when
// it did not reach the disk. A new file is written with mode 0600 and replaces the old one whole.
// Stops with "OS CSPRNG" when the random source fails.
[[nodiscard]] PlainSecret32 dev_keystore(std::string_view path);

}  // namespace vostrel::keystore
