// Host side of our headless engine: what a test or a command-line host uses in place
// of a Flutter app. It creates the engine and its registrars, plays the Dart side of
// every channel and runs the platform thread.
//
// The platform thread is the thread that called FlutterHeadlessEngineCreate. Plugin
// channel handlers, replies to "Dart", the Dart handlers below and replies to the
// plugin's own messages all run on it, and only while it pumps
// (FlutterHeadlessEngineRunLoop / ...SendToPluginAndWait). Everything except
// FlutterHeadlessEngineQuitLoop must be called on the platform thread.
//
// Never destroy the engine from inside one of its callbacks.
//
// An empty reply (the channel had no handler, the message could not be decoded,
// the handler never answered) reaches callbacks as data NULL and size 0.
#ifndef FLUTTER_HEADLESS_FLUTTER_HEADLESS_H_
#define FLUTTER_HEADLESS_FLUTTER_HEADLESS_H_

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "flutter_export.h"
#include "flutter_messenger.h"
#include "flutter_plugin_registrar.h"

#if defined(__cplusplus)
extern "C" {
#endif

typedef struct FlutterHeadlessEngine* FlutterHeadlessEngineRef;

// A reply to a message that the host sent to a plugin channel.
typedef void (*FlutterHeadlessReplyCallback)(const uint8_t* data, size_t data_size,
                                             void* user_data);

// A message a plugin sent to "Dart". Answer it, once, with
// FlutterHeadlessEngineRespondToPlugin(response_id) (from this callback or later).
typedef void (*FlutterHeadlessDartHandler)(FlutterHeadlessEngineRef engine, const char* channel,
                                           const uint8_t* message, size_t message_size,
                                           uint64_t response_id, void* user_data);

// NULL when the platform's message loop could not be set up.
FLUTTER_EXPORT FlutterHeadlessEngineRef FlutterHeadlessEngineCreate(void);

// Destroys every registrar (their destruction handlers destroy the plugins), marks
// the messenger unavailable and drops undelivered messages and replies.
FLUTTER_EXPORT void FlutterHeadlessEngineDestroy(FlutterHeadlessEngineRef engine);

// One registrar per plugin name, created on first use, owned by the engine.
FLUTTER_EXPORT FlutterDesktopPluginRegistrarRef
FlutterHeadlessEngineGetRegistrar(FlutterHeadlessEngineRef engine, const char* plugin_name);

// Queues a "Dart" message for the plugin channel; delivered on the next pump. The
// reply callback (may be NULL) runs once on the platform thread. False on bad
// arguments.
FLUTTER_EXPORT bool FlutterHeadlessEngineSendToPlugin(FlutterHeadlessEngineRef engine,
                                                      const char* channel, const uint8_t* message,
                                                      size_t message_size,
                                                      FlutterHeadlessReplyCallback reply,
                                                      void* user_data);

// Sends and pumps until the reply arrives or timeout_ms pass. On true, *reply holds
// a copy to release with FlutterHeadlessFree (NULL for an empty reply).
FLUTTER_EXPORT bool FlutterHeadlessEngineSendToPluginAndWait(
    FlutterHeadlessEngineRef engine, const char* channel, const uint8_t* message,
    size_t message_size, uint32_t timeout_ms, uint8_t** reply, size_t* reply_size);

FLUTTER_EXPORT void FlutterHeadlessFree(void* buffer);

// Installs (or with handler NULL removes) the Dart side of a channel. channel NULL
// sets the handler for every channel without its own. Messages to a channel with no
// Dart handler are answered empty, as Dart does.
FLUTTER_EXPORT void FlutterHeadlessEngineSetDartHandler(FlutterHeadlessEngineRef engine,
                                                        const char* channel,
                                                        FlutterHeadlessDartHandler handler,
                                                        void* user_data);

// False when response_id is unknown or already answered.
FLUTTER_EXPORT bool FlutterHeadlessEngineRespondToPlugin(FlutterHeadlessEngineRef engine,
                                                         uint64_t response_id, const uint8_t* data,
                                                         size_t data_size);

// Pumps the platform thread's messages (plugin windows included) for up to
// timeout_ms. Returns 1 when FlutterHeadlessEngineQuitLoop ended it, 0 on timeout.
FLUTTER_EXPORT int32_t FlutterHeadlessEngineRunLoop(FlutterHeadlessEngineRef engine,
                                                    uint32_t timeout_ms);

// Any thread: ends the current (or next) FlutterHeadlessEngineRunLoop.
FLUTTER_EXPORT void FlutterHeadlessEngineQuitLoop(FlutterHeadlessEngineRef engine);

// How many plugin calls that must come from the platform thread (sending to Dart,
// installing handlers) came from another thread. Such sends are still delivered on
// the platform thread; the count lets tests prove a plugin never does it.
FLUTTER_EXPORT uint32_t FlutterHeadlessEngineOffThreadCallCount(FlutterHeadlessEngineRef engine);

#if defined(_WIN32)
// Offers a top-level window message to the registered window procedure delegates,
// as a windowed engine does for its top-level window. True when one handled it.
FLUTTER_EXPORT bool FlutterHeadlessEngineDispatchTopLevelMessage(FlutterHeadlessEngineRef engine,
                                                                 void* hwnd, uint32_t message,
                                                                 uint64_t wparam, int64_t lparam,
                                                                 int64_t* result);
#endif

#if defined(__cplusplus)
}  // extern "C"
#endif

#endif  // FLUTTER_HEADLESS_FLUTTER_HEADLESS_H_
