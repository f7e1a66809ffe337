// The warm decoders of one video (protocol/decoder_session.hpp) as the engine holds them: each
// a connection to a decoder that the decoder service forked for this process, which keeps the
// video open and its place in it between loads.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "lorvex/protocol/decoder_session.hpp"
#include "lorvex/protocol/descriptor.hpp"
#include "lorvex/protocol/frame_table.hpp"

namespace lorvex::engine {

// What a warm decoder is asked to open.
struct WarmRequest {
    std::string folder;      // the folder of the worker programs, where the decoder program is
    std::string video_path;  // as the decoder opens it
    // Descriptors of this process that the decoder holds under the same numbers: that of a
    // video held in memory.
    std::vector<int> descriptors;
    // For a remote video (protocol/remote_video.hpp): a new channel for each decoder, its end
    // here to be handed over (and closed here once it is).
    std::function<Descriptor()> open_channel;
};

// The video's frame table as the caller probed it: encoded for the decoders, and read.
struct ProbedTable {
    std::string encoded;
    FrameTable table;
};

class DecoderConnection {
  public:
    // Asks this process's decoder service (started if need be) for a warm decoder; the
    // decoder's answer comes with its first messages. Throws std::runtime_error when there is
    // no service to ask.
    explicit DecoderConnection(const WarmRequest& request);

    int socket() const noexcept { return connection_.get(); }
    // Known once the service has accepted.
    std::optional<pid_t> pid() const noexcept { return pid_; }
    void set_pid(pid_t pid) noexcept { pid_ = pid; }

    // The last frame its last job delivered: where it stands, unless it drained. -1 for none.
    std::int64_t reached() const noexcept { return reached_; }
    void set_reached(std::int64_t rank) noexcept { reached_ = rank; }

    // An idle decoder says nothing but, when new, that the service accepted it: anything else
    // that has arrived since its last job (the service saying it ended, its reason for
    // failing, a hang-up) means it is gone.
    bool still_there();

    // Hands the decoder the table, once; false when it is gone.
    bool send_table(const std::string& encoded);

    bool send_job(const decoder_session::Job& job, int output) const;
    bool allow(std::int64_t rows) const;

    // Appends the messages that have arrived, without waiting. False once the connection has
    // ended (the decoder and the service gone, or the engine refused what came).
    bool read(std::vector<decoder_session::Message>& messages);

  private:
    Descriptor connection_;
    decoder_session::MessageReader reader_;
    bool table_sent_ = false;
    std::optional<pid_t> pid_;
    std::int64_t reached_ = -1;
};

using DecoderHandle = std::unique_ptr<DecoderConnection>;

// The idle warm decoders of one video, lent to its loads and given back after.
class DecoderPool {
  public:
    // `keep`: how many idle decoders stay warm.
    DecoderPool(WarmRequest request, std::size_t keep);

    // Starts one decoder now, which opens the video while the caller probes it; nothing for
    // what is not a regular file (a pipe is read once, by the probe). Throws as the
    // DecoderConnection's constructor does.
    void start_one();

    // The table every load plans with and every decoder is handed; set once, before loads.
    void set_table(std::shared_ptr<const ProbedTable> table);
    bool has_table() const noexcept { return table_ != nullptr; }

    // One decoder for each share, in the shares' order, the share starting at frame
    // `first_frames[i]`: an idle decoder that can decode on from where it stands to a share
    // goes to that share, the other idle ones to the rest, new ones where none is left.
    std::vector<DecoderHandle> take(const std::vector<std::int64_t>& first_frames);

    // A decoder whose job ended well; beyond `keep` idle ones it is closed (and ends).
    void give_back(DecoderHandle decoder);

    // Closes the idle decoders, which end.
    void close();

    const FrameTable& table() const noexcept { return table_->table; }

    // Whether `decoder` would decode on from where it stands to `frame` rather than seek: a
    // load that goes on where the last one ended.
    bool continues(const DecoderConnection& decoder, std::int64_t frame) const;

  private:
    // After a fork, the connections are the parent's: this process forgets them.
    void forget_if_forked();
    void forget_the_gone();

    WarmRequest request_;
    std::shared_ptr<const ProbedTable> table_;
    std::size_t keep_;
    pid_t owner_;
    std::mutex lock_;
    std::vector<DecoderHandle> idle_;
};

}  // namespace lorvex::engine
