#pragma once

// Everything every module may use, in one include: the byte vocabulary, the stop with a message,
// the mark of a moved-from owner, the secret types, byte forms, UTF-8 and the operating system's
// random source.

#include "vostrel/byte_io.hpp"
#include "vostrel/bytes.hpp"
#include "vostrel/move_mark.hpp"
#include "vostrel/panic.hpp"
#include "vostrel/random.hpp"
#include "vostrel/secret.hpp"
#include "vostrel/utf8.hpp"
