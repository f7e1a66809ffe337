// The names that the loaders and the worker programs both use, each spelled once.
#pragma once

#include <string_view>

namespace lorvex::names {

// The worker programs the loaders start (found beside the package), and the decoder that a
// front with frames to decode becomes or hands its job to.
inline constexpr std::string_view kOneShotProgram = "lorvex";
inline constexpr std::string_view kInterleavedProgram = "lorvex_interleaved";
inline constexpr std::string_view kDecoderProgram = "lorvex_decoder";

// The decoder's first argument: which front's command line follows, or the decoder service.
inline constexpr std::string_view kOneShotMode = "one-shot";
inline constexpr std::string_view kInterleavedMode = "interleaved";
inline constexpr std::string_view kServeMode = "serve";
// A decoder forked by the service for lorvex's own engine, kept for one video's loads; for a
// remote video, its last argument names the channel it reads the bytes through.
inline constexpr std::string_view kWarmMode = "warm";
inline constexpr std::string_view kChannelArgument = "channel=";

// A failing worker's last words on its stderr: one line "lorvex: <reason>", which the loader
// reads back into its exception.
inline constexpr std::string_view kReasonPrefix = "lorvex:";

// The memory files the loaders hand the workers: each worker's stderr, named after the
// process that starts it (the caller), and the frame table of the video.
inline constexpr std::string_view kWorkerStderrPrefix = "lorvex-worker-stderr-of-";
inline constexpr std::string_view kFrameTableFileName = "lorvex-frame-table";

// A command-line item too long for the kernel is a memory file the workers inherit; the item
// then reads "@fd:<descriptor>".
inline constexpr std::string_view kInheritedTextPrefix = "@fd:";

// The decoder service of a caller listens on the abstract socket "<prefix><caller's pid>",
// bound by the caller and handed to the service as this descriptor.
inline constexpr std::string_view kDecoderServicePrefix = "lorvex-decoder-service-";
inline constexpr int kListeningDescriptor = 3;

}  // namespace lorvex::names
