#pragma once

// The reader's input sources: text already in memory as UTF-16 (entity
// replacement text) and byte streams decoded in fixed blocks. The reader
// scans a source's buffer directly: Position points at the next unit and the
// unit at BufferEnd is always 0, which tells every scanner to Reload.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "runtime/stream.h"
#include "xml/dom_string.h"

namespace corvandel::xml {

// Steps over the spaces and tabs from p on. Blocks are read only below
// end; at end the scan stops at the 0 that every source keeps at its
// BufferEnd.
inline DOMChar* SkipBlanks(DOMChar* p, const DOMChar* end) {
  // Most runs are a few units of indentation, which a block would cost
  // more than; the rest of a longer run goes eight units at a time.
  for (int i = 0; i < 4; ++i, ++p)
    if (*p != u' ' && *p != u'\t') return p;
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi16(u' ');
  const __m128i tab = _mm_set1_epi16(u'\t');
  while (end - p >= 8) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int blanks = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi16(units, space), _mm_cmpeq_epi16(units, tab)));
    if (blanks != 0xFFFF) return p + std::countr_one(static_cast<unsigned>(blanks)) / 2;
    p += 8;
  }
#endif
  while (*p == u' ' || *p == u'\t') ++p;
  return p;
}

// The character of the predefined entity whose name and ";" start at p
// ("amp;" for "&amp;"), when they end before end; 0 otherwise. length
// receives the units of the name and the ";".
inline DOMChar PredefinedEntityAt(const DOMChar* p, const DOMChar* end, std::size_t& length) {
  static constexpr struct {
    DOMChar text[6];
    std::size_t length;
    DOMChar value;
  } kEntities[] = {{u"lt;", 3, u'<'}, {u"gt;", 3, u'>'}, {u"amp;", 4, u'&'}, {u"apos;", 5, u'\''}, {u"quot;", 5, u'"'}};
  for (const auto& entity : kEntities) {
    if (entity.text[0] != *p || end - p < static_cast<std::ptrdiff_t>(entity.length)) continue;
    std::size_t i = 1;
    while (i < entity.length && p[i] == entity.text[i]) ++i;
    if (i < entity.length) continue;
    length = entity.length;
    return entity.value;
  }
  return 0;
}

class TXMLReader;
class TDOMEntityEx;

// A set of delimiter code units, all below 255.
class TDelimiterSet {
public:
  static constexpr std::size_t kMaxPrintable = 4;

  constexpr TDelimiterSet(std::initializer_list<DOMChar> units) {
    std::size_t printable = 0;
    for (DOMChar u : units) {
      bits_[u >> 5] |= 1u << (u & 31);
      // Units below U+0020 need no entry: the block scan stops at all of them.
      if (u >= 0x20) {
        // Not a constant expression, so a set too large fails to compile.
        if (printable == kMaxPrintable) throw "too many delimiters from U+0020 up";
        printable_[printable++] = u;
      }
    }
    // Unused entries repeat 0, which the block scan stops at anyway.
    for (std::size_t i = 0; i < kMaxPrintable; ++i)
      for (DOMChar& lane : lanes_[i]) lane = printable_[i];
  }
  constexpr bool Contains(DOMChar u) const { return u < 256 && (bits_[u >> 5] >> (u & 31)) & 1u; }
  // The same set, where ScanUntil may also take the predefined entity
  // references ("&amp;" and the like) as the characters they stand for.
  constexpr TDelimiterSet WithPredefinedReferences() const {
    TDelimiterSet set = *this;
    set.predefinedReferences_ = true;
    return set;
  }
  constexpr bool TakesPredefinedReferences() const { return predefinedReferences_; }
  // The delimiters from U+0020 up, each repeated over eight units, for the
  // block scan of ScanUntil: it loads its comparands instead of spreading
  // each delimiter over a register on every call, which costs as much as a
  // short scan itself.
  const DOMChar* Lanes(std::size_t index) const { return lanes_[index]; }

private:
  uint32_t bits_[8] = {};
  bool predefinedReferences_ = false;
  DOMChar printable_[kMaxPrintable] = {};
  alignas(16) DOMChar lanes_[kMaxPrintable][8] = {};
};

// Source kinds.
enum : uint8_t {
  SOURCE_ORDINARY = 0,
  SOURCE_INTERNAL_SUBSET = 1,  // the reader captures the subset's text on every reload
  SOURCE_READ_TO_END = 2,      // popped explicitly by the reader, never at its end
};

class TXMLCharSource {
public:
  explicit TXMLCharSource(DOMStringView text);
  virtual ~TXMLCharSource();
  TXMLCharSource(const TXMLCharSource&) = delete;
  TXMLCharSource& operator=(const TXMLCharSource&) = delete;

  // Makes more units available; false when the text has ended.
  virtual bool Reload() { return false; }
  // Accounts for the line end at Position.
  virtual void NewLine();
  // What NewLine does for a LF at Position, in every source: a LF needs
  // no conversion.
  void CountLineFeed() {
    ++Line;
    LineStart = Position - base_;
  }
  // Appends text up to the next delimiter to buffer and returns the
  // delimiter without consuming it; 0 means the end of this source's text.
  // A source may take the predefined references that the delimiters allow
  // it to (see TDelimiterSet) as text and scan on.
  virtual DOMChar ScanUntil(DOMString& buffer, const TDelimiterSet& delimiters);
  virtual void Initialize() {}
  // The encoding declaration names an encoding; false when it cannot apply.
  virtual bool SetEncoding(const std::string&) { return true; }

  // Moves one unit on, reloading at the end of the buffer.
  void Advance() {
    if (++Position == BufferEnd) Reload();
  }
  // Makes at least count units visible at Position when the text holds them.
  void Ensure(std::size_t count) {
    if (static_cast<std::size_t>(BufferEnd - Position) < count) Reload();
  }
  // Consumes literal when it stands at Position.
  bool MatchLiteral(DOMStringView literal);

  DOMString GetSystemId() const;
  uint32_t Column() const { return static_cast<uint32_t>((Position - base_) - LineStart); }
  // The index of a unit of the buffer, as LineStart counts it.
  std::ptrdiff_t IndexOf(const DOMChar* unit) const { return unit - base_; }

  DOMChar* Position = nullptr;
  DOMChar* BufferEnd = nullptr;
  TXMLReader* Reader = nullptr;
  TXMLCharSource* Parent = nullptr;
  TDOMEntityEx* Entity = nullptr;
  uint32_t Line = 1;
  // Index, relative to Base(), of the unit just before the current line's
  // first unit; negative once the line began before the buffer's content.
  std::ptrdiff_t LineStart = -1;
  bool XML11 = false;
  DOMString SystemId;
  uint32_t CharCount = 0;
  // Units actually decoded from bytes; unlike CharCount, references do not
  // add to it.
  uint64_t DecodedUnits = 0;
  uint32_t StartDepth = 0;
  uint8_t Kind = SOURCE_ORDINARY;
  // Line ends are those of decoded text: CR, LF and CR LF (and under XML
  // 1.1 NEL and U+2028), as TXMLDecodingSource::NewLine counts them. An
  // entity's replacement text had its line ends normalised already.
  bool DecodedLineEnds = false;

protected:
  TXMLCharSource() = default;
  // The start of the buffer that Position points into.
  DOMChar* Base() const { return base_; }

  // Set once by each constructor: the column of every token start and
  // every line end is counted from it, so it is a field rather than a
  // virtual call.
  DOMChar* base_ = nullptr;

private:
  std::unique_ptr<DOMChar[]> text_;
};

// Decodes bytes in blocks into a fixed buffer of 2048 units.
class TXMLDecodingSource : public TXMLCharSource {
public:
  ~TXMLDecodingSource() override;

  // Final, so that the scanners' own calls of these are direct calls.
  bool Reload() final;
  void NewLine() final;
  DOMChar ScanUntil(DOMString& buffer, const TDelimiterSet& delimiters) final;
  void Initialize() override;
  bool SetEncoding(const std::string& name) override;

  // (window, bytes, output, room) -> units produced, 0 when nothing could be
  // produced, negative on invalid input. consumed and produced receive the
  // bytes used and the units written, also when the input is invalid.
  using TDecoder = int (*)(const uint8_t* in, std::size_t count, std::size_t& consumed, DOMChar* out,
                           std::size_t room, std::size_t& produced);

  static constexpr std::size_t kBufferUnits = 2048;
  static constexpr uint32_t kStartCapacity = 6;
  static constexpr uint32_t kDeclarationCapacity = 3;
  static constexpr uint32_t kFullCapacity = kBufferUnits - 1;

  bool HadBOM = false;
  std::string BOMEncoding;
  uint32_t Capacity = kStartCapacity;

protected:
  TXMLDecodingSource();
  // Refills the byte window; false when no new bytes came.
  virtual bool FetchData() { return false; }

  const uint8_t* RawStart = nullptr;
  const uint8_t* RawEnd = nullptr;

private:
  // The capacity that decodes the plain ASCII bytes of an XML declaration
  // up to its first ">" (see Initialize).
  uint32_t AsciiDeclarationCapacity() const;
  // Reports a decoding failure just past the last decoded unit.
  [[noreturn]] void DecodingError(const char* reason);

  // Part of the source object, which costs one allocation fewer per
  // document. Not cleared: the block scan of ScanUntil may look at units past
  // BufferEnd, but only below filled_.
  std::array<DOMChar, kBufferUnits> charBuffer_;
  // Units from the start of charBuffer_ that have been written at least
  // once; always past BufferEnd.
  std::size_t filled_ = 1;
  TDecoder decoder_;
};

// Reads a byte stream from its current position, 4096 bytes at a time.
class TXMLStreamInputSource final : public TXMLDecodingSource {
public:
  // Reads stream, which the caller keeps.
  explicit TXMLStreamInputSource(runtime::TStream& stream);
  // Reads stream and frees it with the source.
  explicit TXMLStreamInputSource(std::unique_ptr<runtime::TStream> stream);
  ~TXMLStreamInputSource() override;

  // A source holds both of its buffers, some 12 KB, which is past what the
  // allocator keeps at hand per thread; a worker reads answer after answer,
  // so the storage of its last source is kept for the next one.
  static void* operator new(std::size_t size);
  static void operator delete(void* memory) noexcept;

  static constexpr std::size_t kReadSize = 4096;
  static constexpr std::size_t kCarryRoom = 12;

protected:
  bool FetchData() override;

private:
  std::unique_ptr<runtime::TStream> owned_;  // empty for a borrowed stream
  runtime::TStream* stream_;
  bool atEOF_ = false;
  // Not cleared: only bytes read from the stream, or carried over from the
  // previous fill, are ever looked at.
  std::array<uint8_t, kReadSize + 16> byteBuffer_;
};

}  // namespace corvandel::xml
