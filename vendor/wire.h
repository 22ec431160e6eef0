// The frame codec between the library and a front (see PROTOCOL.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "records.h"

namespace traderlib {

// Largest frame body accepted; a longer announced length drops the connection.
constexpr std::uint32_t kMaxFrame = 1u << 20;

enum FrameKind : unsigned char { kRequest = 1, kCallback = 2, kGreeting = 3, kHeartbeat = 4 };

// One field of a received frame.  Views point into the frame body.
struct WireField {
    std::string_view key;
    char type = 0;           // 's', 'c', 'i' or 'd'
    std::string_view bytes;  // value of 's' and 'c'
    std::int32_t i = 0;      // value of 'i'
    double d = 0;            // value of 'd'
};

// One parsed frame.  Views point into the frame body, which must outlive it.
struct Message {
    unsigned char kind = 0;
    std::string_view name;
    std::int32_t request_id = 0;
    bool is_last = false;
    bool has_rsp_info = false;
    std::int32_t error_id = 0;
    std::string_view error_msg;
    bool has_data = false;
    std::vector<WireField> fields;  // reused between frames
};

// Parses one frame body (the bytes after the length prefix) into `out`.
// Returns false when the body is malformed: truncated, trailing bytes, an
// unknown frame kind or field type, or a flag byte other than 0 and 1.
bool parse_frame(std::string_view body, Message &out);

// Copies the fields of `fields` that `desc` names into `record`, which the
// caller has zeroed.  Text is copied up to the buffer size, so a value that
// fills the buffer keeps no NUL.  Unknown keys and values whose type does not
// fit the field are skipped; an 'i' value is accepted for a double field.
void fill_record(const RecordDesc &desc, std::span<const WireField> fields, void *record);

// Response information from a frame's header (ErrorID, ErrorMsg).
void fill_rsp_info(const Message &msg, CThostFtdcRspInfoField &info);

// Appends one complete request frame carrying every field of `record`
// (text up to its first NUL).  A null record is sent with has_data 0.
void encode_request(std::string &out, std::string_view name, const RecordDesc &desc,
                    const void *record, std::int32_t request_id);

// Appends one heartbeat frame: kind 4, the name "Heartbeat", no data.
void encode_heartbeat(std::string &out);

// Splits a received byte stream into frame bodies.
class FrameStream {
public:
    enum Result { kNeedMore, kFrame, kBad };

    // A writable region of at least `min` bytes after the buffered data.
    // Invalidates bodies returned by next().
    std::span<char> spare(std::size_t min);
    void commit(std::size_t n) { end_ += n; }
    // The next complete frame body, kNeedMore, or kBad for a length of zero
    // or above kMaxFrame.
    Result next(std::string_view &body);
    void clear() { begin_ = end_ = 0; }

private:
    std::vector<char> buf_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

}  // namespace traderlib
