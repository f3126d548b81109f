#pragma once

// For the modules above the cryptographic core that make many short calls into it in a row.

namespace vostrel::crypto {

// While one lives on a thread, the core's calls on that thread look at the thread's OpenSSL error
// queue once, when it is made, instead of once per call; what they queue comes off when it goes.
// For a search of many short hashes, where each look would cost a fifth of a hash.
class HeldErrorQueue {
 public:
  HeldErrorQueue() noexcept;
  HeldErrorQueue(const HeldErrorQueue&) = delete;
  HeldErrorQueue& operator=(const HeldErrorQueue&) = delete;
  ~HeldErrorQueue();
};

}  // namespace vostrel::crypto
