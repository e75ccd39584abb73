#include "xml/detail/input_source.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <initializer_list>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "runtime/ascii_case.h"
#include "xml/detail/reader_messages.h"
#include "xml/detail/xml_reader.h"

namespace corvandel::xml {

namespace {

constexpr DOMChar kLF = 0x0A;
constexpr DOMChar kCR = 0x0D;
constexpr DOMChar kTab = 0x09;
constexpr DOMChar kNEL = 0x85;
constexpr DOMChar kLineSeparator = 0x2028;
constexpr DOMChar kBOM = 0xFEFF;

int DecodeUTF8(const uint8_t* in, std::size_t count, std::size_t& consumed, DOMChar* out, std::size_t room,
               std::size_t& produced) {
  static constexpr uint32_t kMask[5] = {0, 0, 0x7FF, 0xFFFF, 0x1FFFFF};
  static constexpr uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
  std::size_t i = 0, n = 0;
  while (n < room && i < count) {
#if defined(__SSE2__)
    // Runs of ASCII, by far the most of any markup, are widened 16 bytes at
    // a time; the first block holding a byte from 80h up goes on below.
    // A block that holds one is widened all the same, and only its ASCII
    // head is kept: the units past it are overwritten below.
    const __m128i zero = _mm_setzero_si128();
    bool nonASCII = false;
    while (room - n >= 16 && count - i >= 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n), _mm_unpacklo_epi8(bytes, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n + 8), _mm_unpackhi_epi8(bytes, zero));
      if (const int high = _mm_movemask_epi8(bytes); high != 0) {
        const auto ascii = static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(high)));
        i += ascii;
        n += ascii;
        nonASCII = true;
        break;
      }
      i += 16;
      n += 16;
    }
    // Near the end of the input or of the room, eight bytes at a time.
    while (!nonASCII && room - n >= 8 && count - i >= 8) {
      const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i));
      if (_mm_movemask_epi8(bytes) != 0) break;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n), _mm_unpacklo_epi8(bytes, zero));
      i += 8;
      n += 8;
    }
#endif
    // ASCII too short for a block, up to the next byte from 80h up.
    while (n < room && i < count && in[i] < 0x80) out[n++] = in[i++];
    if (n == room || i == count) break;
    const uint8_t lead = in[i];
    int length;
    if (lead < 0xC2) length = 0;
    else if (lead < 0xE0) length = 2;
    else if (lead < 0xF0) length = 3;
    else if (lead < 0xF8) length = 4;
    else length = 0;
    if (length == 0) break;
    if (count - i < static_cast<std::size_t>(length)) {
      consumed = i;
      produced = n;
      return static_cast<int>(n);  // the rest of the sequence comes with the next block
    }
    uint32_t value = lead;
    bool bad = false;
    for (int k = 1; k < length; ++k) {
      const uint8_t next = in[i + static_cast<std::size_t>(k)];
      if ((next & 0xC0) != 0x80) bad = true;
      value = (value << 6) | (next & 0x3F);
    }
    value &= kMask[length];
    if (bad || value < kMinimum[length] || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) break;
    if (value > 0xFFFF) {
      if (room - n < 2) {
        consumed = i;
        produced = n;
        return static_cast<int>(n);
      }
      out[n++] = static_cast<DOMChar>((value >> 10) + 0xD7C0);
      out[n++] = static_cast<DOMChar>((value & 0x3FF) | 0xDC00);
    } else {
      out[n++] = static_cast<DOMChar>(value);
    }
    i += static_cast<std::size_t>(length);
  }
  consumed = i;
  produced = n;
  // Stopping inside the input with room left means an invalid byte.
  if (n < room && i < count) return -1;
  return static_cast<int>(n);
}

template <bool BigEndian>
int DecodeUTF16(const uint8_t* in, std::size_t count, std::size_t& consumed, DOMChar* out, std::size_t room,
                std::size_t& produced) {
  const std::size_t n = std::min(room, count / 2);
  if constexpr (!BigEndian && std::endian::native == std::endian::little) {
    // The bytes already are the units in this machine's order.
    std::memcpy(out, in, 2 * n);
    consumed = 2 * n;
    produced = n;
    return static_cast<int>(n);
  }
  for (std::size_t i = 0; i < n; ++i) {
    const uint8_t first = in[2 * i], second = in[2 * i + 1];
    out[i] = BigEndian ? static_cast<DOMChar>(first << 8 | second) : static_cast<DOMChar>(second << 8 | first);
  }
  consumed = 2 * n;
  produced = n;
  return static_cast<int>(n);
}

int DecodeLatin1(const uint8_t* in, std::size_t count, std::size_t& consumed, DOMChar* out, std::size_t room,
                 std::size_t& produced) {
  const std::size_t n = std::min(room, count);
  for (std::size_t i = 0; i < n; ++i) out[i] = in[i];
  consumed = n;
  produced = n;
  return static_cast<int>(n);
}

// Bytes 80h-9Fh of windows-1252; the five bytes the code page leaves
// unassigned (81h, 8Dh, 8Fh, 90h, 9Dh) stay the C1 control of their value.
constexpr DOMChar kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

int DecodeWindows1252(const uint8_t* in, std::size_t count, std::size_t& consumed, DOMChar* out,
                      std::size_t room, std::size_t& produced) {
  const std::size_t n = std::min(room, count);
  for (std::size_t i = 0; i < n; ++i) {
    const uint8_t b = in[i];
    out[i] = b >= 0x80 && b <= 0x9F ? kWindows1252High[b - 0x80] : b;
  }
  consumed = n;
  produced = n;
  return static_cast<int>(n);
}

bool IsOneOf(const std::string& lower, std::initializer_list<const char*> names) {
  return std::any_of(names.begin(), names.end(), [&](const char* n) { return lower == n; });
}

bool IsLatin1Name(const std::string& lower) {
  return IsOneOf(lower, {"iso-8859-1", "iso_8859-1", "latin1", "iso-ir-100", "l1", "ibm819", "cp819",
                         "csisolatin1", "iso8859-1"});
}

// ASCII is a subset of UTF-8, so its names select the UTF-8 decoder.
bool IsASCIIName(const std::string& lower) { return IsOneOf(lower, {"us-ascii", "ascii"}); }

bool IsWindows1252Name(const std::string& lower) { return IsOneOf(lower, {"windows-1252", "cp1252"}); }

bool IsLineEnd(DOMChar c, bool xml11) {
  return c == kLF || c == kCR || (xml11 && (c == kNEL || c == kLineSeparator));
}

}  // namespace

// ------------------------------------------------------------ TXMLCharSource

TXMLCharSource::TXMLCharSource(DOMStringView text) : text_(std::make_unique<DOMChar[]>(text.size() + 1)) {
  std::copy(text.begin(), text.end(), text_.get());
  text_[text.size()] = 0;
  base_ = text_.get();
  Position = text_.get();
  BufferEnd = Position + text.size();
  LineStart = -1;
  CharCount = static_cast<uint32_t>(text.size());
}

TXMLCharSource::~TXMLCharSource() = default;

void TXMLCharSource::NewLine() {
  ++Line;
  LineStart = Position - Base();
}

DOMChar TXMLCharSource::ScanUntil(DOMString& buffer, const TDelimiterSet& delimiters) {
  DOMChar* run = Position;
  DOMChar c;
  for (;;) {
    c = *Position;
    if (c == 0 && Position == BufferEnd) break;
    if (c == kLF) NewLine();
    if (delimiters.Contains(c)) break;
    ++Position;
  }
  buffer.append(run, static_cast<std::size_t>(Position - run));
  return c;
}

bool TXMLCharSource::MatchLiteral(DOMStringView literal) {
  Ensure(literal.size());
  if (static_cast<std::size_t>(BufferEnd - Position) < literal.size()) return false;
  if (!std::equal(literal.begin(), literal.end(), Position)) return false;
  Position += literal.size();
  if (Position == BufferEnd) Reload();
  return true;
}

DOMString TXMLCharSource::GetSystemId() const {
  for (const TXMLCharSource* source = this; source; source = source->Parent)
    if (!source->SystemId.empty()) return source->SystemId;
  return {};
}

// -------------------------------------------------------- TXMLDecodingSource

TXMLDecodingSource::TXMLDecodingSource()
    : decoder_(&DecodeUTF8) {
  DecodedLineEnds = true;
  base_ = charBuffer_.data();
  Position = BufferEnd = charBuffer_.data();
  charBuffer_[0] = 0;
  *BufferEnd = 0;
  CharCount = 0;
}

TXMLDecodingSource::~TXMLDecodingSource() = default;

void TXMLDecodingSource::Initialize() {
  Line = 1;
  XML11 = Reader->XML11();
  decoder_ = &DecodeUTF8;
  BOMEncoding.clear();
  while (RawEnd - RawStart < 4 && FetchData()) {
  }
  if (RawEnd - RawStart >= 2) {
    if (RawStart[0] == 0xFE && RawStart[1] == 0xFF) {
      decoder_ = &DecodeUTF16<true>;
      BOMEncoding = "UTF-16BE";
    } else if (RawStart[0] == 0xFF && RawStart[1] == 0xFE) {
      decoder_ = &DecodeUTF16<false>;
      BOMEncoding = "UTF-16LE";
    }
  }
  Capacity = kStartCapacity;
  Reload();
  if (*Position == kBOM && Position < BufferEnd) {
    HadBOM = true;
    Advance();
  }
  LineStart = (Position - Base()) - 1;
  static constexpr DOMChar kDeclaration[] = u"<?xml";
  if (BufferEnd - Position >= 5 && std::equal(kDeclaration, kDeclaration + 5, Position)) {
    Position += 5;
    // The declaration may name another encoding, which applies from its
    // end on: while it is read, units are decoded a few at a time. Plain
    // ASCII decodes alike under every decoder it can switch between, so
    // the ASCII bytes up to the first ">" are decoded at once.
    Capacity = AsciiDeclarationCapacity();
    if (Capacity > kDeclarationCapacity || Position == BufferEnd) Reload();
    Capacity = kDeclarationCapacity;
    Reader->ParseXmlOrTextDecl(Parent != nullptr);
  }
  Capacity = kFullCapacity;
}

uint32_t TXMLDecodingSource::AsciiDeclarationCapacity() const {
  // Only bytes decoded by UTF-8, which the declaration may change, and
  // only without a character limit, whose check runs after every block.
  if (decoder_ != &DecodeUTF8 || Reader->HasCharLimit()) return kDeclarationCapacity;
  const auto pending = static_cast<std::size_t>(BufferEnd - Position);
  std::size_t ascii = 0;
  const std::size_t window = static_cast<std::size_t>(RawEnd - RawStart);
  while (ascii < window && pending + ascii < kFullCapacity && RawStart[ascii] < 0x80)
    if (RawStart[ascii++] == '>') break;
  return static_cast<uint32_t>(std::max<std::size_t>(kDeclarationCapacity, pending + ascii));
}

bool TXMLDecodingSource::Reload() {
  if (Kind == SOURCE_INTERNAL_SUBSET) Reader->CaptureSubset(*this);
  DOMChar* base = Base();
  const std::size_t pending = static_cast<std::size_t>(BufferEnd - Position);
  const std::ptrdiff_t shift = Position - base;
  // Mostly nothing is pending, or nothing was consumed yet (a small
  // document reaches its end in the first fill): no move at all then.
  if (pending > 0 && shift > 0) std::memmove(base, Position, pending * sizeof(DOMChar));
  LineStart -= shift;
  Position = base;
  BufferEnd = base + pending;
  for (;;) {
    if (RawEnd - RawStart < 4) {
      FetchData();
      if (RawEnd == RawStart) break;
    }
    const std::size_t held = static_cast<std::size_t>(BufferEnd - base);
    if (held >= Capacity) break;
    const std::size_t room = Capacity - held;
    const std::size_t window = static_cast<std::size_t>(RawEnd - RawStart);
    std::size_t consumed = 0, produced = 0;
    const int result = decoder_(RawStart, window, consumed, BufferEnd, room, produced);
    if (consumed > window) DecodingError(kMsgDecoderInputOutOfBounds);
    if (produced > room) DecodingError(kMsgDecoderOutputOutOfBounds);
    RawStart += consumed;
    BufferEnd += produced;
    if (result < 0) DecodingError(kMsgInvalidCharacterInInputStream);
    if (result == 0) {
      // A character cut by the end of the window waits for more bytes.
      if (RawEnd - RawStart < 4 && FetchData()) continue;
      break;
    }
    CharCount += static_cast<uint32_t>(result);
    DecodedUnits += static_cast<uint64_t>(result);
    Reader->CheckCharLimit();
  }
  *BufferEnd = 0;
  filled_ = std::max(filled_, static_cast<std::size_t>(BufferEnd - base) + 1);
  return Position < BufferEnd;
}

void TXMLDecodingSource::DecodingError(const char* reason) {
  *BufferEnd = 0;
  while (Position < BufferEnd) {
    const DOMChar c = *Position;
    if (IsLineEnd(c, XML11)) {
      ++Line;
      const bool pair = c == kCR && Position + 1 < BufferEnd && (Position[1] == kLF || (XML11 && Position[1] == kNEL));
      if (pair) ++Position;
      LineStart = Position - Base();
    }
    ++Position;
  }
  Reader->FatalError(reason, 0);
}

void TXMLDecodingSource::NewLine() {
  const DOMChar c = *Position;
  if (c == kCR) {
    ++Line;
    LineStart = Position - Base();
    if (Position + 1 == BufferEnd) Reload();
    if (Position[1] == kLF || (XML11 && Position[1] == kNEL)) {
      ++Position;
      ++LineStart;
    }
    *Position = kLF;
  } else if (c == kLF) {
    ++Line;
    LineStart = Position - Base();
  } else if (XML11 && (c == kNEL || c == kLineSeparator)) {
    *Position = kLF;
    ++Line;
    LineStart = Position - Base();
  }
}

namespace {

#if defined(__SSE2__)
// Skips the units from p on that need no look of their own under XML 1.0:
// not a delimiter, not below U+0020 and not U+FFFE or U+FFFF. Eight units
// are tested at a time while eight more lie below limit, the end of the
// units ever written (those past BufferEnd are stale, and the 0 at
// BufferEnd stops the scan). Returns the first unit that needs a look, or
// the end of the tested blocks.
DOMChar* SkipPlainUnits(DOMChar* p, const DOMChar* limit, const TDelimiterSet& delimiters) {
  const __m128i d0 = _mm_load_si128(reinterpret_cast<const __m128i*>(delimiters.Lanes(0)));
  const __m128i d1 = _mm_load_si128(reinterpret_cast<const __m128i*>(delimiters.Lanes(1)));
  const __m128i d2 = _mm_load_si128(reinterpret_cast<const __m128i*>(delimiters.Lanes(2)));
  const __m128i d3 = _mm_load_si128(reinterpret_cast<const __m128i*>(delimiters.Lanes(3)));
  const __m128i belowSpace = _mm_set1_epi16(0x1F);
  const __m128i one = _mm_set1_epi16(1);
  const __m128i all = _mm_set1_epi16(-1);
  const __m128i zero = _mm_setzero_si128();
  while (limit - p >= 8) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Unsigned comparisons through saturation: u <= 1Fh leaves 0 after
    // subtracting 1Fh, u >= FFFEh reaches FFFFh after adding 1.
    __m128i stop = _mm_cmpeq_epi16(_mm_subs_epu16(units, belowSpace), zero);
    stop = _mm_or_si128(stop, _mm_cmpeq_epi16(_mm_adds_epu16(units, one), all));
    stop = _mm_or_si128(stop, _mm_or_si128(_mm_cmpeq_epi16(units, d0), _mm_cmpeq_epi16(units, d1)));
    stop = _mm_or_si128(stop, _mm_or_si128(_mm_cmpeq_epi16(units, d2), _mm_cmpeq_epi16(units, d3)));
    const int mask = _mm_movemask_epi8(stop);
    if (mask != 0) return p + std::countr_zero(static_cast<unsigned>(mask)) / 2;
    p += 8;
  }
  return p;
}
#endif

}  // namespace

DOMChar TXMLDecodingSource::ScanUntil(DOMString& buffer, const TDelimiterSet& delimiters) {
  // Fast path: markup straight after markup ("</a><b>") leaves nothing to
  // scan. A delimiter from U+0020 up is neither a line end nor invalid, so
  // the loop below would return it at once with nothing appended.
  const bool takesReferences = delimiters.TakesPredefinedReferences();
  const DOMChar first = *Position;
  if (first >= 0x20 && delimiters.Contains(first) && !(first == u'&' && takesReferences)) return first;
  DOMChar* run = Position;
  const bool lfInRun = !delimiters.Contains(kLF);
  for (;;) {
#if defined(__SSE2__)
    // Plain text goes by in blocks; whatever stops the block scan is looked
    // at one unit at a time below. XML 1.1 text, with its extra line ends
    // and control characters, takes the unit-by-unit path throughout.
    if (!XML11) Position = SkipPlainUnits(Position, charBuffer_.data() + filled_, delimiters);
#endif
    DOMChar c = *Position;
    if (c == kLF && lfInRun) {
      // Fast path: a LF reaches the buffer as it is, so the run goes on
      // over it and only the line is counted, as NewLine does for a LF.
      // Ending the run here and starting the next at the LF would append
      // the same units.
      CountLineFeed();
      ++Position;
      continue;
    }
    if (IsLineEnd(c, XML11)) {
      buffer.append(run, static_cast<std::size_t>(Position - run));
      NewLine();
      run = Position;
      c = kLF;
    } else if ((c < 0x20 && c != kTab && !(c == 0 && Position == BufferEnd)) || c > 0xFFFD ||
               (XML11 && c >= 0x7F && c <= 0x9F)) {
      buffer.append(run, static_cast<std::size_t>(Position - run));
      Reader->FatalError(kMsgInvalidCharacter, 0);
    }
    if (delimiters.Contains(c)) {
      buffer.append(run, static_cast<std::size_t>(Position - run));
      // A predefined reference wholly in the buffer, with a unit after it,
      // is its character: the scan goes on past it with no reload.
      std::size_t length = 0;
      if (c == u'&' && takesReferences) {
        if (const DOMChar value = PredefinedEntityAt(Position + 1, BufferEnd - 1, length)) {
          buffer += value;
          Position += 1 + length;
          run = Position;
          continue;
        }
      }
      if (c == 0 && Reload()) {
        run = Position;
        continue;
      }
      return c;
    }
    ++Position;
  }
}

bool TXMLDecodingSource::SetEncoding(const std::string& name) {
  const std::string lower = runtime::LowerCase(name);
  if (!BOMEncoding.empty()) return lower == runtime::LowerCase(BOMEncoding) || lower == "utf-16" || lower == "unicode";
  if (lower == "utf-8" || IsASCIIName(lower)) return true;
  if (IsLatin1Name(lower)) {
    decoder_ = &DecodeLatin1;
    return true;
  }
  if (IsWindows1252Name(lower)) {
    decoder_ = &DecodeWindows1252;
    return true;
  }
  return false;
}

// ----------------------------------------------------- TXMLStreamInputSource

namespace {

// The storage of one stream source, kept between the documents of a thread.
// A source freed after the thread's spare is destroyed (see spareSourceGone)
// goes straight back to the allocator.
thread_local bool spareSourceGone = false;  // needs no destructor: readable to the thread's end

struct TSpareSource {
  ~TSpareSource() {
    spareSourceGone = true;
    ::operator delete(memory);
  }
  void* memory = nullptr;
};

thread_local TSpareSource spareSource;

}  // namespace

void* TXMLStreamInputSource::operator new(std::size_t size) {
  // The class is final: every request is for one source's size.
  if (!spareSourceGone)
    if (void* memory = std::exchange(spareSource.memory, nullptr)) return memory;
  return ::operator new(size);
}

void TXMLStreamInputSource::operator delete(void* memory) noexcept {
  // An external entity's source nests inside the document's; only one is kept.
  if (!spareSourceGone && !spareSource.memory) spareSource.memory = memory;
  else ::operator delete(memory);
}

TXMLStreamInputSource::TXMLStreamInputSource(runtime::TStream& stream) : stream_(&stream) {
  RawStart = RawEnd = byteBuffer_.data() + kCarryRoom;
  FetchData();
}

TXMLStreamInputSource::TXMLStreamInputSource(std::unique_ptr<runtime::TStream> stream)
    : owned_(std::move(stream)), stream_(owned_.get()) {
  RawStart = RawEnd = byteBuffer_.data() + kCarryRoom;
  FetchData();
}

TXMLStreamInputSource::~TXMLStreamInputSource() = default;

bool TXMLStreamInputSource::FetchData() {
  if (atEOF_) return false;
  uint8_t* target = byteBuffer_.data() + kCarryRoom;
  const std::size_t carried = static_cast<std::size_t>(RawEnd - RawStart);
  if (carried > 0) std::memmove(target - carried, RawStart, carried);
  const std::size_t read = stream_->Read(target, kReadSize);
  // Only an empty read ends the input: streams over pipes and sockets
  // return short blocks long before their end.
  if (read == 0) atEOF_ = true;
  RawStart = target - carried;
  RawEnd = target + read;
  return read > 0;
}

}  // namespace corvandel::xml
