// Reply normalisation: nine reply fields brought to fixed widths and moved, in
// a fixed order, to the end of the text, which is then closed and given a line
// end. Normalising a normalised text leaves it as it is.
#include <algorithm>
#include <array>
#include <cstring>

#include "kmo_tran.h"
#include "kmoclient.h"

namespace {

enum class Pad { LeftZeros, RightSpaces, None };

struct ReplyField {
    const char* tag;
    std::size_t width;   // the padded length
    std::size_t keep;    // the longest value kept; longer ones are cut
    Pad pad;
};

// The order of the normalised tail. F06 comes after F52 on purpose: the
// terminals read the fields in this order. A value is padded to its width but
// never cut: a value longer than its width arrives whole, since a cut one would
// read as another value (an 11-character F01 cut to 10 is another pharmacy's
// code; an authorisation number past the seventh sequence digit cut to 12
// characters, a number issued before).
constexpr std::size_t kKeepWhole = KMO_REQUEST_SIZE - 1;
constexpr ReplyField kFields[] = {
    {"F01", 10, kKeepWhole, Pad::LeftZeros},    // CodeFarm
    {"F04", 20, kKeepWhole, Pad::LeftZeros},    // NroReceta
    {"F08", 10, kKeepWhole, Pad::LeftZeros},    // NroBenp
    {"F41", 0, kKeepWhole, Pad::None},          // Terminal_Name, moved only when present
    {"F50", 2, kKeepWhole, Pad::LeftZeros},     // CodResp
    {"F51", 50, kKeepWhole, Pad::RightSpaces},  // MensResp
    {"F52", 12, kKeepWhole, Pad::LeftZeros},    // CodRef
    {"F06", 100, kKeepWhole, Pad::LeftZeros},   // stempF06
    {"F99", 6, kKeepWhole, Pad::LeftZeros},     // TipoTran
};

constexpr std::size_t kHolderSize = kKeepWhole + 1;   // the longest value and its NUL

// The longest tail: every field as '|' tag '=' value, then '|' and "\n".
constexpr std::size_t normalize_TailMax()
{
    std::size_t n = 2;
    for (const ReplyField& f : kFields) {
        n += 5 + f.keep;
    }
    return n;
}
constexpr std::size_t kTailMax = normalize_TailMax();

constexpr bool normalize_HoldersFit()
{
    for (const ReplyField& f : kFields) {
        if (f.width > f.keep || f.keep >= kHolderSize) {
            return false;
        }
    }
    return true;
}
static_assert(normalize_HoldersFit(), "every field's value fits its holder");

// Room for any text the transaction operations read, plus the tail.
constexpr std::size_t kWorkSize = KMO_TRAN_WORK_SIZE + kTailMax;

// Going back from the end, CR and LF become the terminating zero; the first
// character always stays.
void normalize_StripLineEnds(char* text)
{
    std::size_t len = std::strlen(text);
    while (len > 1 && (text[len - 1] == '\r' || text[len - 1] == '\n')) {
        text[--len] = '\0';
    }
}

// Pads the holder's value to the field's width. A value at or over the width
// is left as it is.
void normalize_Pad(char* value, const ReplyField& field)
{
    const std::size_t len = std::strlen(value);
    if (field.pad == Pad::None || len >= field.width) {
        return;
    }
    const std::size_t missing = field.width - len;
    if (field.pad == Pad::RightSpaces) {
        std::memset(value + len, ' ', missing);
    } else {
        std::memmove(value + missing, value, len);
        std::memset(value, '0', missing);
    }
    value[field.width] = '\0';
}

// A copy of what the normaliser appends, to tell the tail from the rest.
struct Tail {
    std::array<char, kTailMax + 1> text{};
    std::size_t len = 0;

    void add(const char* s)
    {
        const std::size_t n = std::min(std::strlen(s), text.size() - 1 - len);
        std::memcpy(text.data() + len, s, n);
        len += n;
    }
};

// Writes the normalised text into the caller's buffer. When it does not fit,
// whole fields are dropped from the end of the part in front of the tail,
// so the nine reply fields and the line end always stay; only a buffer too
// small for the tail itself gets a plain cut.
void normalize_Store(char* text, std::size_t cap, const char* work, const char* tail, std::size_t tailLen)
{
    const std::size_t total = std::strlen(work);
    const std::size_t room = cap - 1;
    if (total <= room) {
        std::memcpy(text, work, total + 1);
        return;
    }
    const bool tailIsSuffix = tailLen <= total && std::memcmp(work + total - tailLen, tail, tailLen) == 0;
    if (tailIsSuffix && tailLen < room) {
        std::size_t keep = std::min(total - tailLen, room - tailLen);
        while (keep > 0 && work[keep - 1] != '|') {
            --keep;
        }
        const bool needSep = keep == 0 && tail[0] != '|';
        if (keep + (needSep ? 1 : 0) + tailLen <= room) {
            std::size_t at = 0;
            std::memmove(text, work, keep);
            at += keep;
            if (needSep) {
                text[at++] = '|';
            }
            std::memcpy(text + at, tail, tailLen);
            text[at + tailLen] = '\0';
            return;
        }
    }
    std::memcpy(text, work, room);
    text[room] = '\0';
}

}  // namespace

void KMOClient_NormalizeResponse(char* text, std::size_t cap)
{
    if (text == nullptr || cap == 0) {
        return;
    }
    std::array<char, kWorkSize> work{};
    const std::size_t inLen = strnlen(text, std::min(cap - 1, KMO_TRAN_WORK_SIZE - 1));
    std::memcpy(work.data(), text, inLen);
    normalize_StripLineEnds(work.data());

    Tail tail;
    for (const ReplyField& field : kFields) {
        if (field.pad == Pad::None && KMO_TranHasField(work.data(), field.tag) == 0) {
            continue;
        }
        std::array<char, kHolderSize> holder{};
        KMO_TranGetField(work.data(), field.tag, holder.data(), field.keep + 1);
        normalize_Pad(holder.data(), field);
        KMO_TranDelField(work.data(), field.tag);
        const std::size_t len = std::strlen(work.data());
        if (len == 0 || work[len - 1] != '|') {
            tail.add("|");
        }
        tail.add(field.tag);
        tail.add("=");
        tail.add(holder.data());
        KMO_TranPutfield(work.data(), work.size(), field.tag, holder.data());
    }
    KMO_TranClose(work.data(), work.size());
    tail.add("|\n");
    const std::size_t workLen = std::strlen(work.data());
    work[workLen] = '\n';   // the work buffer has room for the whole tail
    work[workLen + 1] = '\0';

    normalize_Store(text, cap, work.data(), tail.text.data(), tail.len);
}
