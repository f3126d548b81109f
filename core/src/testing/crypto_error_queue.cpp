// The thread's OpenSSL error queue as an application would leave it between its own calls: errors
// of its own, the last one marked. The fault sweep queues them before each faulted call and looks
// for them, alone and unchanged, afterwards.
#include <openssl/err.h>

#include "vostrel/internal/crypto_heap.hpp"

namespace vostrel::crypto {
namespace {

// OpenSSL keeps a thread's last 15 errors and pushes the oldest out for each one beyond.
constexpr int kQueueCapacity = 15;
// The most errors of its own that the library may hold on the queue at once, as the README says.
// The application fills the rest, so that one more would push its oldest error out.
constexpr int kMostQueuedByTheLibrary = 4;
constexpr int kApplicationErrors = kQueueCapacity - kMostQueuedByTheLibrary;
constexpr int kFirstApplicationReason = 77;

bool is_application_error(unsigned long error, int index) noexcept {
  return ERR_GET_LIB(error) == ERR_LIB_USER &&
         ERR_GET_REASON(error) == kFirstApplicationReason + index;
}

// Null when the queue holds the application's errors in their order, one mark on the last, and
// nothing else. Takes errors and marks off as it looks.
const char* queue_broken() noexcept {
  const unsigned long top = ERR_peek_last_error();
  if (!is_application_error(top, kApplicationErrors - 1)) {
    return top == 0 || ERR_GET_LIB(top) == ERR_LIB_USER
               ? "the application's last error was taken off the queue"
               : "an error was left on the queue";
  }
  if (ERR_clear_last_mark() != 1) return "the application's mark was taken off the queue";
  if (ERR_clear_last_mark() != 0) return "a mark was left on the queue";
  for (int index = 0; index < kApplicationErrors; ++index) {
    const unsigned long error = ERR_get_error();
    if (is_application_error(error, index)) continue;
    if (index == 0 && ERR_GET_LIB(error) == ERR_LIB_USER) {
      return "the application's oldest error was pushed out: the call queued too many at once";
    }
    return "an error was queued among the application's";
  }
  return nullptr;
}

}  // namespace

void queue_application_error() noexcept {
  for (int index = 0; index < kApplicationErrors; ++index) {
    ERR_raise_data(ERR_LIB_USER, kFirstApplicationReason + index, "queued by the application");
  }
  ERR_set_mark();
}

const char* application_errors_broken() noexcept {
  const char* broken = queue_broken();
  ERR_clear_error();
  return broken;
}

bool error_queue_empty() noexcept {
  // A mark needs an error to sit on, so an empty queue should hold none either.
  const bool empty = ERR_peek_error() == 0 && ERR_clear_last_mark() == 0;
  ERR_clear_error();
  return empty;
}

void start_error_queue() noexcept {
  ERR_clear_error();
}

}  // namespace vostrel::crypto
