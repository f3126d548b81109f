// The thread's OpenSSL error queue as an application would leave it between its own calls: one
// error of its own, marked. The fault sweep queues it before each faulted call and looks for it,
// alone and unchanged, afterwards.
#include <openssl/err.h>

#include "vostrel/internal/crypto_heap.hpp"

namespace vostrel::crypto {
namespace {
constexpr int kApplicationReason = 77;
}  // namespace

void queue_application_error() noexcept {
  ERR_raise_data(ERR_LIB_USER, kApplicationReason, "queued by the application");
  ERR_set_mark();
}

const char* application_errors_broken() noexcept {
  const unsigned long top = ERR_peek_last_error();
  const char* broken = nullptr;
  if (ERR_GET_LIB(top) != ERR_LIB_USER || ERR_GET_REASON(top) != kApplicationReason) {
    broken = top == 0 ? "the application's error was taken off the queue"
                      : "an error was left on the queue";
  } else if (ERR_pop_to_mark() != 1) {
    broken = "the application's mark was taken off the queue";
  } else if (ERR_peek_error() != top) {
    broken = "an error was queued below the application's";
  }
  ERR_clear_error();
  return broken;
}

bool error_queue_empty() noexcept {
  const bool empty = ERR_peek_error() == 0;
  ERR_clear_error();
  return empty;
}

}  // namespace vostrel::crypto
