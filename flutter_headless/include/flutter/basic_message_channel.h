// A named channel that encodes and decodes its messages with a codec.
#ifndef FLUTTER_HEADLESS_BASIC_MESSAGE_CHANNEL_H_
#define FLUTTER_HEADLESS_BASIC_MESSAGE_CHANNEL_H_

#include <iostream>
#include <memory>
#include <string>
#include <utility>

#include "binary_messenger.h"
#include "encodable_value.h"
#include "message_codec.h"

namespace flutter {

template <typename T>
using MessageReply = std::function<void(const T& reply)>;

template <typename T>
using MessageHandler = std::function<void(const T& message, const MessageReply<T>& reply)>;

// Neither the messenger nor the codec is owned; both must outlive any handler set
// here. The channel object itself may go away once its handler is set: the handler
// captures what it needs by value.
template <typename T = EncodableValue>
class BasicMessageChannel {
 public:
  BasicMessageChannel(BinaryMessenger* messenger, const std::string& name,
                      const MessageCodec<T>* codec)
      : messenger_(messenger), name_(name), codec_(codec) {}

  ~BasicMessageChannel() = default;

  BasicMessageChannel(BasicMessageChannel const&) = delete;
  BasicMessageChannel& operator=(BasicMessageChannel const&) = delete;

  void Send(const T& message) {
    std::unique_ptr<std::vector<uint8_t>> raw_message = codec_->EncodeMessage(message);
    messenger_->Send(name_, raw_message->data(), raw_message->size());
  }

  void Send(const T& message, BinaryReply reply) {
    std::unique_ptr<std::vector<uint8_t>> raw_message = codec_->EncodeMessage(message);
    messenger_->Send(name_, raw_message->data(), raw_message->size(), std::move(reply));
  }

  // A message that does not decode is answered with an empty reply.
  void SetMessageHandler(const MessageHandler<T>& handler) const {
    if (!handler) {
      messenger_->SetMessageHandler(name_, nullptr);
      return;
    }
    const MessageCodec<T>* codec = codec_;
    std::string channel_name = name_;
    BinaryMessageHandler binary_handler =
        [handler, codec, channel_name](const uint8_t* binary_message,
                                       const size_t binary_message_size, BinaryReply binary_reply) {
          std::unique_ptr<T> message = codec->DecodeMessage(binary_message, binary_message_size);
          if (!message) {
            std::cerr << "Unable to decode message on channel " << channel_name << std::endl;
            binary_reply(nullptr, 0);
            return;
          }
          MessageReply<T> unencoded_reply = [binary_reply, codec](const T& unencoded_response) {
            std::unique_ptr<std::vector<uint8_t>> binary_response =
                codec->EncodeMessage(unencoded_response);
            binary_reply(binary_response->data(), binary_response->size());
          };
          handler(*message, std::move(unencoded_reply));
        };
    messenger_->SetMessageHandler(name_, std::move(binary_handler));
  }

 private:
  BinaryMessenger* messenger_;
  std::string name_;
  const MessageCodec<T>* codec_;
};

}  // namespace flutter

#endif  // FLUTTER_HEADLESS_BASIC_MESSAGE_CHANNEL_H_
