// Sends binary messages to Dart and receives them from it, per channel name.
#ifndef FLUTTER_HEADLESS_BINARY_MESSENGER_H_
#define FLUTTER_HEADLESS_BINARY_MESSENGER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace flutter {

// Receives the reply to a sent message; (nullptr, 0) is an empty reply.
typedef std::function<void(const uint8_t* reply, size_t reply_size)> BinaryReply;

// Handles one incoming message; `reply` must be called exactly once, from any thread.
typedef std::function<void(const uint8_t* message, size_t message_size, BinaryReply reply)>
    BinaryMessageHandler;

class BinaryMessenger {
 public:
  virtual ~BinaryMessenger() = default;

  // Call on the platform thread. A reply is never called when the engine refused
  // the message.
  virtual void Send(const std::string& channel, const uint8_t* message, size_t message_size,
                    BinaryReply reply = nullptr) const = 0;

  // Call on the platform thread. A null handler removes the channel's handler.
  virtual void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) = 0;
};

}  // namespace flutter

#endif  // FLUTTER_HEADLESS_BINARY_MESSENGER_H_
