// The frame codec: parsing frames, filling records, encoding requests and heartbeats.
#include "wire.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace traderlib {
namespace {

// All integers travel little endian, whatever the host's byte order.
class Reader {
public:
    explicit Reader(std::string_view body) : p_(body.data()), left_(body.size()) {}

    bool ok() const { return ok_; }
    bool done() const { return ok_ && left_ == 0; }

    std::string_view take(std::size_t n) {
        if (!ok_ || n > left_) {
            ok_ = false;
            return {};
        }
        std::string_view out(p_, n);
        p_ += n;
        left_ -= n;
        return out;
    }
    std::uint64_t uint(std::size_t n) {
        std::string_view b = take(n);
        std::uint64_t v = 0;
        for (std::size_t k = b.size(); k-- > 0;) v = (v << 8) | static_cast<unsigned char>(b[k]);
        return v;
    }
    unsigned u8() { return static_cast<unsigned>(uint(1)); }
    unsigned u16() { return static_cast<unsigned>(uint(2)); }
    std::int32_t i32() { return static_cast<std::int32_t>(static_cast<std::uint32_t>(uint(4))); }
    double f64() { return std::bit_cast<double>(uint(8)); }
    bool flag() {
        unsigned v = u8();
        if (v > 1) ok_ = false;
        return v == 1;
    }

private:
    const char *p_;
    std::size_t left_;
    bool ok_ = true;
};

void put_uint(std::string &out, std::uint64_t v, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k, v >>= 8) out.push_back(static_cast<char>(v & 0xFF));
}
void put_u8(std::string &out, unsigned v) { put_uint(out, v, 1); }
void put_u16(std::string &out, unsigned v) { put_uint(out, v, 2); }
void put_i32(std::string &out, std::int32_t v) { put_uint(out, static_cast<std::uint32_t>(v), 4); }
void put_f64(std::string &out, double v) { put_uint(out, std::bit_cast<std::uint64_t>(v), 8); }
void put_short(std::string &out, std::string_view s) {  // u8 length + bytes
    s = s.substr(0, 0xFF);
    put_u8(out, static_cast<unsigned>(s.size()));
    out.append(s);
}
void put_text(std::string &out, std::string_view s) {  // u16 length + bytes
    s = s.substr(0, 0xFFFF);
    put_u16(out, static_cast<unsigned>(s.size()));
    out.append(s);
}

void copy_bytes(char *dst, std::size_t size, std::string_view src) {
    std::memcpy(dst, src.data(), std::min(size, src.size()));
}

}  // namespace

bool parse_frame(std::string_view body, Message &out) {
    Reader r(body);
    out.kind = static_cast<unsigned char>(r.u8());
    if (r.ok() && (out.kind < kRequest || out.kind > kHeartbeat)) return false;
    out.name = r.take(r.u8());
    out.request_id = r.i32();
    out.is_last = r.flag();
    out.has_rsp_info = r.flag();
    out.error_id = r.i32();
    out.error_msg = r.take(r.u16());
    out.has_data = r.flag();
    unsigned count = r.u16();
    out.fields.clear();
    for (unsigned k = 0; k < count && r.ok(); ++k) {
        WireField f;
        f.key = r.take(r.u8());
        f.type = static_cast<char>(r.u8());
        switch (f.type) {
        case 's': f.bytes = r.take(r.u16()); break;
        case 'c': f.bytes = r.take(1); break;
        case 'i': f.i = r.i32(); break;
        case 'd': f.d = r.f64(); break;
        default: return false;
        }
        out.fields.push_back(f);
    }
    return r.done();
}

void fill_record(const RecordDesc &desc, std::span<const WireField> fields, void *record) {
    char *base = static_cast<char *>(record);
    for (const WireField &w : fields) {
        const FieldDesc *f = desc.find(w.key);
        if (f == nullptr) continue;
        char *dst = base + f->offset;
        switch (f->kind) {
        case FieldKind::Text:
        case FieldKind::Char:
            if (w.type == 's' || w.type == 'c') {
                std::memset(dst, 0, f->size);  // a repeated key replaces the earlier value
                copy_bytes(dst, f->size, w.bytes);
            }
            break;
        case FieldKind::Int:
            if (w.type == 'i') std::memcpy(dst, &w.i, sizeof w.i);
            break;
        case FieldKind::Double:
            if (w.type == 'd' || w.type == 'i') {
                double v = w.type == 'd' ? w.d : static_cast<double>(w.i);
                std::memcpy(dst, &v, sizeof v);
            }
            break;
        }
    }
}

void fill_rsp_info(const Message &msg, CThostFtdcRspInfoField &info) {
    std::memset(&info, 0, sizeof info);
    info.ErrorID = msg.error_id;
    copy_bytes(info.ErrorMsg, sizeof info.ErrorMsg, msg.error_msg);
}

namespace {

void encode_frame(std::string &out, FrameKind kind, std::string_view name, const RecordDesc *desc,
                  const void *record, std::int32_t request_id);

}  // namespace

void encode_request(std::string &out, std::string_view name, const RecordDesc &desc,
                    const void *record, std::int32_t request_id) {
    encode_frame(out, kRequest, name, &desc, record, request_id);
}

void encode_heartbeat(std::string &out) { encode_frame(out, kHeartbeat, "Heartbeat", nullptr, nullptr, 0); }

namespace {

void encode_frame(std::string &out, FrameKind kind, std::string_view name, const RecordDesc *desc,
                  const void *record, std::int32_t request_id) {
    const std::size_t start = out.size();
    put_uint(out, 0, 4);  // length, patched below
    put_u8(out, kind);
    put_short(out, name);
    put_i32(out, request_id);
    put_u8(out, 1);   // is_last
    put_u8(out, 0);   // has_rsp_info
    put_i32(out, 0);  // ErrorID
    put_text(out, {});
    put_u8(out, record != nullptr ? 1 : 0);
    if (record == nullptr || desc == nullptr) {
        put_u16(out, 0);
    } else {
        const char *base = static_cast<const char *>(record);
        put_u16(out, static_cast<unsigned>(desc->fields.size()));
        for (const FieldDesc &f : desc->fields) {
            const char *src = base + f.offset;
            put_short(out, f.name);
            switch (f.kind) {
            case FieldKind::Text: {
                const void *nul = std::memchr(src, 0, f.size);
                std::size_t n = nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - src) : f.size;
                put_u8(out, 's');
                put_text(out, std::string_view(src, n));
                break;
            }
            case FieldKind::Char:
                put_u8(out, 'c');
                out.push_back(*src);
                break;
            case FieldKind::Int: {
                std::int32_t v;
                std::memcpy(&v, src, sizeof v);
                put_u8(out, 'i');
                put_i32(out, v);
                break;
            }
            case FieldKind::Double: {
                double v;
                std::memcpy(&v, src, sizeof v);
                put_u8(out, 'd');
                put_f64(out, v);
                break;
            }
            }
        }
    }
    const std::uint32_t len = static_cast<std::uint32_t>(out.size() - start - 4);
    for (int k = 0; k < 4; ++k) out[start + k] = static_cast<char>((len >> (8 * k)) & 0xFF);
}

}  // namespace

std::span<char> FrameStream::spare(std::size_t min) {
    if (begin_ == end_) begin_ = end_ = 0;
    if (buf_.size() - end_ < min) {
        if (begin_ > 0) {
            std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        if (buf_.size() - end_ < min) buf_.resize(end_ + min);
    }
    return {buf_.data() + end_, buf_.size() - end_};
}

FrameStream::Result FrameStream::next(std::string_view &body) {
    const std::size_t have = end_ - begin_;
    if (have < 4) return kNeedMore;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(buf_.data() + begin_);
    const std::uint32_t len = std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 |
                              std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
    if (len == 0 || len > kMaxFrame) return kBad;
    if (have - 4 < len) return kNeedMore;
    body = std::string_view(buf_.data() + begin_ + 4, len);
    begin_ += 4 + std::size_t(len);
    return kFrame;
}

}  // namespace traderlib
