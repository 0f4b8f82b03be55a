#include "formats/lzhuf.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace kv {
namespace {

constexpr int kWindow = 4096;  // ring buffer size N
constexpr int kMask = kWindow - 1;
constexpr int kLookahead = 60;  // longest match F
constexpr int kThreshold = 2;   // matches of kThreshold bytes or fewer are sent as literals
constexpr int kNil = kWindow;   // "no node" in the match trees
constexpr int kSymbols = 256 - kThreshold + kLookahead;  // 256 literals and 58 match lengths
constexpr int kNodes = 2 * kSymbols - 1;
constexpr int kRoot = kNodes - 1;
constexpr uint32_t kMaxFreq = 0x8000;  // the tree is rebuilt when the root reaches this
constexpr int kFirstWrite = kWindow - kLookahead;

// A real stream ends before its length field, so the decoder never needs a
// bit past the end of the source. Missing bits still read as zero, as peers
// expect, but only for a short way; beyond that the data is damaged, and an
// announced length must not make us spin on zeros.
constexpr uint64_t kSpareBits = 256;

constexpr char kNoMemory[] = "LZH : Cannot get memory for dictionary tables";

// Position codes: the upper 6 bits of a match offset get a prefix code of 3
// to 8 bits (short codes for near offsets), the lower 6 bits follow plainly.
// The code is canonical with 1, 3, 8, 12, 24 and 16 codes of the lengths 3
// to 8.
struct TPositionCodes {
  std::array<uint8_t, 64> len{};     // code length per upper 6 bits
  std::array<uint8_t, 64> code{};    // code, left-aligned in a byte
  std::array<uint8_t, 256> upper{};  // decoding: next 8 bits -> upper 6 bits
};

constexpr TPositionCodes MakePositionCodes() {
  TPositionCodes t;
  constexpr int kCount[] = {1, 3, 8, 12, 24, 16};
  int code = 0, index = 0;
  for (int len = 3; len <= 8; ++len, code <<= 1) {
    for (int k = 0; k < kCount[len - 3]; ++k, ++code, ++index) {
      t.len[index] = static_cast<uint8_t>(len);
      t.code[index] = static_cast<uint8_t>(code << (8 - len));
      for (int b = 0; b < (1 << (8 - len)); ++b) t.upper[t.code[index] | b] = static_cast<uint8_t>(index);
    }
  }
  return t;
}

constexpr TPositionCodes kPosition = MakePositionCodes();
static_assert(kPosition.code[1] == 0x20 && kPosition.code[4] == 0x50 && kPosition.code[12] == 0x90 &&
              kPosition.code[24] == 0xC0 && kPosition.code[48] == 0xF0 && kPosition.code[63] == 0xFF);

// The adaptive Huffman tree shared by both directions. Nodes are kept in
// order of frequency; the children of a node sit side by side (left at an
// even index), leaves hold their symbol + kNodes as "child".
struct TAdaptiveHuffman {
  std::array<uint32_t, kNodes + 1> freq;  // freq[kNodes] is a sentinel
  std::array<int, kNodes + kSymbols> parent;
  std::array<int, kNodes> child;

  void Start() {
    for (int i = 0; i < kSymbols; ++i) {
      freq[i] = 1;
      child[i] = i + kNodes;
      parent[i + kNodes] = i;
    }
    for (int i = 0, j = kSymbols; j <= kRoot; i += 2, ++j) {
      freq[j] = freq[i] + freq[i + 1];
      child[j] = i;
      parent[i] = parent[i + 1] = j;
    }
    freq[kNodes] = 0xFFFF;
    parent[kRoot] = 0;
  }

  // Halves every leaf frequency and builds the tree anew, so old history
  // weighs less and the counts stay bounded.
  void Rebuild() {
    for (int i = 0, j = 0; i < kNodes; ++i) {
      if (child[i] >= kNodes) {
        freq[j] = (freq[i] + 1) / 2;
        child[j] = child[i];
        ++j;
      }
    }
    for (int i = 0, j = kSymbols; j < kNodes; i += 2, ++j) {
      const uint32_t f = freq[i] + freq[i + 1];
      int k = j - 1;
      while (f < freq[k]) --k;
      ++k;
      std::copy_backward(freq.begin() + k, freq.begin() + j, freq.begin() + j + 1);
      std::copy_backward(child.begin() + k, child.begin() + j, child.begin() + j + 1);
      freq[k] = f;
      child[k] = i;
    }
    for (int i = 0; i < kNodes; ++i) {
      const int k = child[i];
      if (k >= kNodes) {
        parent[k] = i;
      } else {
        parent[k] = parent[k + 1] = i;
      }
    }
  }

  // Counts one more occurrence of symbol, moving nodes up to keep the order.
  void Update(int symbol) {
    if (freq[kRoot] == kMaxFreq) Rebuild();
    int c = parent[symbol + kNodes];
    do {
      const uint32_t k = ++freq[c];
      int l = c + 1;
      if (k > freq[l]) {
        // Swap with the last node of the run of equal counts that c has
        // just outgrown (the sentinel ends the search).
        while (k > freq[++l]) {
        }
        --l;
        freq[c] = freq[l];
        freq[l] = k;
        const int i = child[c];
        parent[i] = l;
        if (i < kNodes) parent[i + 1] = l;
        const int j = child[l];
        child[l] = i;
        parent[j] = c;
        if (j < kNodes) parent[j + 1] = c;
        child[c] = j;
        c = l;
      }
    } while ((c = parent[c]) != 0);  // the root's parent is 0
  }
};

class TBitWriter {
 public:
  explicit TBitWriter(std::vector<uint8_t>& out) : out_(out) {}
  // Appends the low n bits of value, most significant first (n <= 32).
  void Put(uint32_t value, int n) {
    acc_ = acc_ << n | value;
    pending_ += n;
    while (pending_ >= 8) {
      pending_ -= 8;
      out_.push_back(static_cast<uint8_t>(acc_ >> pending_));
    }
  }
  // Fills the last byte with zero bits.
  void Flush() {
    if (pending_ > 0) out_.push_back(static_cast<uint8_t>(acc_ << (8 - pending_)));
    pending_ = 0;
  }

 private:
  std::vector<uint8_t>& out_;
  uint64_t acc_ = 0;
  int pending_ = 0;
};

// Reads the bit stream most significant bit first. Bits past the end of the
// source read as zero.
class TBitReader {
 public:
  TBitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  // At least 32 bits buffered afterwards: a symbol's code (the tree is far
  // shallower than that) or a position code (14 bits) needs no further check.
  void Need32() {
    if (have_ < 32) Refill();
  }
  unsigned TopBit() const { return static_cast<unsigned>(buffer_ >> 63); }
  unsigned Peek8() const { return static_cast<unsigned>(buffer_ >> 56); }
  void Skip(int n) {
    buffer_ <<= n;
    have_ -= n;
  }
  // Removes the next n bits (1 <= n <= the bits buffered) and returns them.
  unsigned Take(int n) {
    const auto v = static_cast<unsigned>(buffer_ >> (64 - n));
    Skip(n);
    return v;
  }
  // Negative when more bits were taken than were buffered; the reader must
  // then not be used further.
  int Buffered() const { return have_; }
  uint64_t Consumed() const { return 8 * static_cast<uint64_t>(next_) - static_cast<uint64_t>(have_); }

 private:
  void Refill() {
    if (next_ + 8 <= size_) {
      // Eight bytes at once; the whole bytes among them that fit are taken.
      // The part of the next byte that also lands in the buffer is loaded
      // again at the same place by the next refill, so it does no harm.
      uint64_t w;
      std::memcpy(&w, data_ + next_, 8);
      buffer_ |= __builtin_bswap64(w) >> have_;
      const int bytes = (63 - have_) >> 3;
      next_ += static_cast<size_t>(bytes);
      have_ += 8 * bytes;
      return;
    }
    while (have_ <= 56) {
      const uint8_t b = next_ < size_ ? data_[next_] : 0;  // past the end: zero bits
      ++next_;
      buffer_ |= static_cast<uint64_t>(b) << (56 - have_);
      have_ += 8;
    }
  }
  const uint8_t* data_;
  size_t size_;
  size_t next_ = 0;      // bytes fed into the buffer, zero bytes past the end included
  uint64_t buffer_ = 0;  // left-aligned
  int have_ = 0;
};

// Match search over binary trees, one tree per first byte. Among matches of
// the same length the nearest wins, which keeps position codes short.
class TLzhEncoder {
 public:
  void Run(const uint8_t* in, size_t size, std::vector<uint8_t>& out);

 private:
  void InitTree();
  void InsertNode(int r);
  void DeleteNode(int p);
  void EncodeChar(TBitWriter& bits, int symbol);
  void EncodePosition(TBitWriter& bits, int position);

  // The ring plus a copy of its first kLookahead - 1 bytes, so comparisons
  // need no wrap-around.
  std::array<uint8_t, kWindow + kLookahead - 1> text_{};
  std::array<int, kWindow + 257> left_, right_;  // indices above kWindow are the tree roots
  std::array<int, kWindow + 1> parent_;
  int matchPosition_ = 0;
  int matchLength_ = 0;
  TAdaptiveHuffman huffman_;
};

void TLzhEncoder::InitTree() {
  for (int i = kWindow + 1; i <= kWindow + 256; ++i) right_[i] = kNil;
  for (int i = 0; i < kWindow; ++i) parent_[i] = kNil;
}

// Length of the common prefix of a and b (their first bytes are known to be
// equal), at most kLookahead; cmp receives a[i] - b[i] at the first
// difference. Eight bytes at a time: this comparison is where compression
// spends its time on repetitive text.
int CommonLength(const uint8_t* a, const uint8_t* b, int& cmp) {
  int i = 1;
  for (; i + 8 <= kLookahead; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) {
      i += std::countr_zero(x ^ y) / 8;  // little-endian: the lowest differing byte comes first
      cmp = a[i] - b[i];
      return i;
    }
  }
  for (; i < kLookahead; ++i) {
    if ((cmp = a[i] - b[i]) != 0) return i;
  }
  return i;
}

void TLzhEncoder::InsertNode(int r) {
  const uint8_t* key = &text_[r];
  int p = kWindow + 1 + key[0];
  int cmp = 1;
  left_[r] = right_[r] = kNil;
  matchLength_ = 0;
  for (;;) {
    int& next = cmp >= 0 ? right_[p] : left_[p];
    if (next == kNil) {
      next = r;
      parent_[r] = p;
      return;
    }
    p = next;
    const int i = CommonLength(key, &text_[p], cmp);
    if (i > kThreshold) {
      const int position = ((r - p) & kMask) - 1;
      if (i > matchLength_ || (i == matchLength_ && position < matchPosition_)) {
        matchPosition_ = position;
        matchLength_ = i;
      }
      if (i >= kLookahead) break;
    }
  }
  // r holds the same kLookahead bytes as p: r takes p's place, p leaves.
  parent_[r] = parent_[p];
  left_[r] = left_[p];
  right_[r] = right_[p];
  parent_[left_[p]] = r;
  parent_[right_[p]] = r;
  if (right_[parent_[p]] == p) {
    right_[parent_[p]] = r;
  } else {
    left_[parent_[p]] = r;
  }
  parent_[p] = kNil;
}

void TLzhEncoder::DeleteNode(int p) {
  if (parent_[p] == kNil) return;
  int q;
  if (right_[p] == kNil) {
    q = left_[p];
  } else if (left_[p] == kNil) {
    q = right_[p];
  } else {
    q = left_[p];
    if (right_[q] != kNil) {
      do q = right_[q];
      while (right_[q] != kNil);
      right_[parent_[q]] = left_[q];
      parent_[left_[q]] = parent_[q];
      left_[q] = left_[p];
      parent_[left_[p]] = q;
    }
    right_[q] = right_[p];
    parent_[right_[p]] = q;
  }
  parent_[q] = parent_[p];
  if (right_[parent_[p]] == p) {
    right_[parent_[p]] = q;
  } else {
    left_[parent_[p]] = q;
  }
  parent_[p] = kNil;
}

void TLzhEncoder::EncodeChar(TBitWriter& bits, int symbol) {
  // Walk from the leaf to the root; the bits come out leaf first. The
  // frequencies stay below 0x8000, which bounds the depth far below 64.
  uint64_t code = 0;
  int len = 0;
  for (int k = huffman_.parent[symbol + kNodes]; k != kRoot; k = huffman_.parent[k]) {
    code |= static_cast<uint64_t>(k & 1) << len;
    ++len;
  }
  if (len > 32) {
    bits.Put(static_cast<uint32_t>(code >> 32), len - 32);
    len = 32;
  }
  bits.Put(static_cast<uint32_t>(code), len);
  huffman_.Update(symbol);
}

void TLzhEncoder::EncodePosition(TBitWriter& bits, int position) {
  const int upper = position >> 6;
  bits.Put(kPosition.code[upper] >> (8 - kPosition.len[upper]), kPosition.len[upper]);
  bits.Put(static_cast<uint32_t>(position & 63), 6);
}

void TLzhEncoder::Run(const uint8_t* in, size_t size, std::vector<uint8_t>& out) {
  TBitWriter bits(out);
  huffman_.Start();
  InitTree();
  int s = 0, r = kFirstWrite;
  std::fill(text_.begin(), text_.begin() + r, ' ');
  size_t next = 0;
  int len = 0;
  for (; len < kLookahead && next < size; ++len) text_[r + len] = in[next++];
  if (len > 0) {
    for (int i = 1; i <= kLookahead; ++i) InsertNode(r - i);
    InsertNode(r);
  }
  while (len > 0) {
    matchLength_ = std::min(matchLength_, len);  // never beyond the input
    if (matchLength_ <= kThreshold) {
      matchLength_ = 1;
      EncodeChar(bits, text_[r]);
    } else {
      EncodeChar(bits, 255 - kThreshold + matchLength_);
      EncodePosition(bits, matchPosition_);
    }
    const int advance = matchLength_;
    for (int i = 0; i < advance; ++i) {
      DeleteNode(s);
      if (next < size) {
        const uint8_t c = in[next++];
        text_[s] = c;
        if (s < kLookahead - 1) text_[s + kWindow] = c;
      } else {
        --len;  // the look-ahead drains at the end of the input
      }
      s = (s + 1) & kMask;
      r = (r + 1) & kMask;
      if (len > 0) InsertNode(r);
    }
  }
  bits.Flush();
}

bool SetError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

std::vector<uint8_t> ReadWhole(TStream& source) {
  source.Seek(0);
  std::vector<uint8_t> bytes(static_cast<size_t>(source.Size()));
  size_t got = 0;
  while (got < bytes.size()) {
    const size_t n = source.Read(bytes.data() + got, bytes.size() - got);
    if (n == 0) break;
    got += n;
  }
  bytes.resize(got);
  return bytes;
}

void AppendLength(std::vector<uint8_t>& out, uint32_t length) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(length >> (8 * i)));
}

// The byte a match finds before the start of the output: the window starts
// as kFirstWrite blanks followed by zeros, and writing starts at kFirstWrite,
// so output index i < 0 stands for window slot kFirstWrite + i modulo the
// window, which nothing has overwritten yet.
inline uint8_t BeforeStart(ptrdiff_t i) { return i >= -kFirstWrite ? ' ' : 0; }

// Where the decoder writes: the bytes of a memory stream from a fixed
// position on, grown on demand. The output itself serves as the window, so
// every byte is written once.
class TOutput {
 public:
  TOutput(TMemoryStream& stream, size_t capacity) : stream_(stream) { Grow(capacity); }
  uint8_t* Data() const { return data_; }
  size_t Capacity() const { return capacity_; }
  void Grow(size_t capacity) {
    data_ = stream_.Extend(capacity);
    capacity_ = capacity;
  }

 private:
  TMemoryStream& stream_;
  uint8_t* data_ = nullptr;
  size_t capacity_ = 0;
};

// Room a symbol may need beyond the current output: a whole match, and the
// eight bytes a match copy may run past its end.
constexpr size_t kSymbolRoom = kLookahead + 8;

// Decodes from bits until length bytes are out; produced receives their
// number (length up to length + 59). False when the input gives out first.
bool Decode(TBitReader& bits, const uint64_t limitBits, size_t length, TOutput& output, size_t& produced) {
  TAdaptiveHuffman huffman;
  huffman.Start();
  uint8_t* out = output.Data();
  size_t o = 0;
  while (o < length) {
    if (o + kSymbolRoom > output.Capacity()) {
      output.Grow(std::max(output.Capacity() * 2, o + kSymbolRoom));
      out = output.Data();
    }
    bits.Need32();
    int c = huffman.child[kRoot];
    while (c < kNodes) {
      c = huffman.child[c + static_cast<int>(bits.TopBit())];
      bits.Skip(1);
    }
    if (bits.Buffered() < 0) return false;  // deeper than any tree these counts allow: damage
    c -= kNodes;
    huffman.Update(c);
    if (c < 256) {
      out[o++] = static_cast<uint8_t>(c);
    } else {
      bits.Need32();
      const unsigned upper = kPosition.upper[bits.Peek8()];
      bits.Skip(kPosition.len[upper]);
      const size_t distance = (upper << 6 | bits.Take(6)) + 1;
      const size_t n = static_cast<size_t>(c - 255 + kThreshold);
      uint8_t* dst = out + o;
      // A match that crosses the length is still copied whole.
      if (distance <= o) {
        const uint8_t* src = dst - distance;
        if (distance >= 8) {
          // Eight bytes at a time: each load reads only bytes already
          // written, and the overrun past n is overwritten later or cut off.
          for (size_t k = 0; k < n; k += 8) {
            uint64_t w;
            std::memcpy(&w, src + k, 8);
            std::memcpy(dst + k, &w, 8);
          }
        } else {
          for (size_t k = 0; k < n; ++k) dst[k] = src[k];
        }
      } else {
        const ptrdiff_t from = static_cast<ptrdiff_t>(o) - static_cast<ptrdiff_t>(distance);
        for (size_t k = 0; k < n; ++k) {
          const ptrdiff_t i = from + static_cast<ptrdiff_t>(k);
          dst[k] = i >= 0 ? out[i] : BeforeStart(i);
        }
      }
      o += n;
    }
    if (bits.Consumed() > limitBits) return false;
  }
  produced = o;
  return true;
}

// The whole source from its start; a memory stream is used where it lies.
const std::vector<uint8_t>& WholeSource(TStream& source, std::vector<uint8_t>& copy) {
  if (auto* memory = dynamic_cast<TMemoryStream*>(&source)) {
    memory->Seek(memory->Size());
    return memory->Bytes();
  }
  copy = ReadWhole(source);
  return copy;
}

}  // namespace

bool CompressStream(TStream& source, TStream& destination, std::string* error) {
  try {
    const std::vector<uint8_t> in = ReadWhole(source);
    if (in.size() > UINT32_MAX) return SetError(error, "LZH : source too large for the length field");
    std::vector<uint8_t> out;
    out.reserve(in.size() / 2 + 64);
    auto encoder = std::make_unique<TLzhEncoder>();
    encoder->Run(in.data(), in.size(), out);
    AppendLength(out, static_cast<uint32_t>(in.size()));
    destination.Write(out.data(), out.size());
    return true;
  } catch (const std::bad_alloc&) {
    return SetError(error, kNoMemory);
  }
}

bool DecompressStream(TStream& source, TStream& destination, uint64_t maxLength, std::string* error) {
  auto* memory = dynamic_cast<TMemoryStream*>(&destination);
  if (memory == nullptr || memory->Position() < memory->Size() || &source == &destination) {
    // The output is built in place at the end of a memory stream, where a
    // failure can simply cut it off again; anywhere else (or when the source
    // itself would grow under the decoder) it is built aside and written
    // once complete.
    TMemoryStream aside;
    if (!DecompressStream(source, aside, maxLength, error)) return false;
    destination.Write(aside.Bytes().data(), aside.Bytes().size());
    return true;
  }
  const uint64_t start = memory->Position(), oldSize = memory->Size();
  try {
    std::vector<uint8_t> copy;
    const std::vector<uint8_t>& in = WholeSource(source, copy);
    if (in.size() <= 4) return SetError(error, "LZH : compressed data too short");
    const size_t end = in.size() - 4;
    const uint64_t length = uint64_t{in[end]} | uint64_t{in[end + 1]} << 8 | uint64_t{in[end + 2]} << 16 |
                            uint64_t{in[end + 3]} << 24;
    if (length > maxLength) {
      return SetError(error, "LZH : announced length " + std::to_string(length) + " exceeds the limit of " +
                                 std::to_string(maxLength) + " bytes");
    }
    // A real stream ends before the length field; past the source's end a
    // few zero bits are still granted (see kSpareBits).
    const uint64_t limitBits = 8 * static_cast<uint64_t>(in.size()) + kSpareBits;
    // Every code takes at least one bit and a match of at most 60 bytes at
    // least ten, so the input cannot yield more than 6 bytes per bit: a huge
    // announced length behind a short input gets no more room than that.
    const uint64_t room =
        std::min<uint64_t>(length + kLookahead - 1, 6 * limitBits + kLookahead) + kSymbolRoom;
    bool ok = false;
    try {
      TOutput output(*memory, static_cast<size_t>(room));
      TBitReader bits(in.data(), in.size());
      size_t produced = 0;
      ok = Decode(bits, limitBits, static_cast<size_t>(length), output, produced);
      memory->Seek(ok ? start + produced : oldSize);
    } catch (...) {
      memory->Seek(oldSize);
      memory->Truncate();
      memory->Seek(start);
      throw;
    }
    memory->Truncate();
    if (!ok) {
      memory->Seek(start);
      return SetError(error,
                      "LZH : compressed data ends before the announced length " + std::to_string(length));
    }
    return true;
  } catch (const std::bad_alloc&) {
    return SetError(error, kNoMemory);
  }
}

}  // namespace kv
