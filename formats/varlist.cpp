#include "formats/varlist.h"

#include <cmath>
#include <cstring>
#include <memory>

#include "core/cp1252.h"

namespace kv {

// ---------------------------------------------------------------------------
// 80-bit extended precision

void DoubleToExtended(double v, uint8_t out[10]) {
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  const uint16_t sign = static_cast<uint16_t>((bits >> 63) << 15);
  const int exp11 = static_cast<int>((bits >> 52) & 0x7FF);
  const uint64_t frac = bits & ((uint64_t{1} << 52) - 1);
  uint64_t mant = 0;
  int exp15 = 0;
  if (exp11 == 0x7FF) {
    exp15 = 0x7FFF;
    mant = frac == 0 ? uint64_t{1} << 63 : (uint64_t{3} << 62) | (frac << 11);
  } else if (exp11 != 0) {
    exp15 = exp11 - 1023 + 16383;
    mant = (uint64_t{1} << 63) | (frac << 11);
  } else if (frac != 0) {
    // Subnormal double: normalise into the wider exponent range.
    int shift = 0;
    mant = frac;
    while (!(mant & (uint64_t{1} << 63))) {
      mant <<= 1;
      ++shift;
    }
    exp15 = 16383 - 1074 + 63 - shift;
  }
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(mant >> (8 * i));
  const uint16_t se = static_cast<uint16_t>(sign | exp15);
  out[8] = static_cast<uint8_t>(se);
  out[9] = static_cast<uint8_t>(se >> 8);
}

double ExtendedToDouble(const uint8_t in[10]) {
  uint64_t mant = 0;
  for (int i = 0; i < 8; ++i) mant |= static_cast<uint64_t>(in[i]) << (8 * i);
  const uint16_t se = static_cast<uint16_t>(in[8] | (in[9] << 8));
  const bool negative = se & 0x8000;
  const int exp15 = se & 0x7FFF;
  double v;
  if (exp15 == 0x7FFF) {
    v = (mant << 1) == 0 ? INFINITY : NAN;
  } else if (mant == 0) {
    v = 0.0;
  } else {
    v = std::ldexp(static_cast<double>(mant), exp15 - 16383 - 63);
  }
  return negative ? -v : v;
}

// ---------------------------------------------------------------------------
// Writer

void TMyWriter::EnsureHeader() {
  if (header_written_) return;
  header_written_ = true;
  stream_.WriteLString(kVarListHeader);
}

void TMyWriter::WriteInteger(int32_t v) {
  EnsureHeader();
  if (v >= -128 && v <= 127) {
    WriteTag(tagInt8);
    const int8_t b = static_cast<int8_t>(v);
    stream_.Write(&b, 1);
  } else if (v >= -32768 && v <= 32767) {
    WriteTag(tagInt16);
    const uint16_t w = static_cast<uint16_t>(static_cast<int16_t>(v));
    const uint8_t b[2] = {static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8)};
    stream_.Write(b, 2);
  } else {
    WriteTag(tagInt32);
    stream_.WriteInt32(v);
  }
}

void TMyWriter::WriteString(std::string_view s) {
  EnsureHeader();
  if (s.size() < 256) {
    WriteTag(tagString);
    const uint8_t len = static_cast<uint8_t>(s.size());
    stream_.Write(&len, 1);
    stream_.Write(s.data(), s.size());
  } else {
    WriteTag(tagLString);
    stream_.WriteLString(s);
  }
}

void TMyWriter::WriteValue(const TVariant& v) {
  EnsureHeader();
  switch (v.Type()) {
    case vtEmpty: WriteTag(tagNil); return;
    case vtNull: WriteTag(tagNull); return;
    case vtSmallint:
    case vtInteger:
    case vtByte: WriteInteger(static_cast<int32_t>(v.RawInt())); return;
    case vtDouble: {
      WriteTag(tagExtended);
      uint8_t ext[10];
      DoubleToExtended(v.RawFloat(), ext);
      stream_.Write(ext, 10);
      return;
    }
    case vtSingle: {
      WriteTag(tagSingle);
      const float f = static_cast<float>(v.RawFloat());
      stream_.Write(&f, 4);
      return;
    }
    case vtCurrency: {
      WriteTag(tagCurrency);
      const int64_t c = v.RawInt();
      stream_.Write(&c, 8);
      return;
    }
    case vtDate: {
      WriteTag(tagDate);
      const double d = v.RawFloat();
      stream_.Write(&d, 8);
      return;
    }
    case vtBoolean: WriteTag(v.RawInt() ? tagTrue : tagFalse); return;
    case vtString: WriteString(v.RawString()); return;
    case vtOleStr: {
      WriteTag(tagWString);
      const auto& w = v.RawWide();
      stream_.WriteInt32(static_cast<int32_t>(w.size()));
      for (char16_t c : w) {
        const uint8_t b[2] = {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)};
        stream_.Write(b, 2);
      }
      return;
    }
    case vtByteArray: {
      WriteTag(tagBinary);
      const auto& bytes = v.RawBytes();
      stream_.WriteInt32(static_cast<int32_t>(bytes.size()));
      stream_.Write(bytes.data(), bytes.size());
      return;
    }
    case vtError:
      // An error value has no text form. Writing nothing would shift every
      // later value onto the wrong name, so it is stored as null.
      WriteTag(tagNull);
      return;
    default:
      // Other widths (64-bit, unsigned) travel as their text.
      WriteString(v.AsString());
      return;
  }
}

// ---------------------------------------------------------------------------
// Reader

void TMyReader::EnsureHeader() {
  if (header_checked_) return;
  header_checked_ = true;
  const std::string expected = kVarListHeader;
  uint8_t lenbuf[4] = {0, 0, 0, 0};
  const size_t got = stream_.Read(lenbuf, 4);
  const int32_t len = static_cast<int32_t>(lenbuf[0] | lenbuf[1] << 8 | lenbuf[2] << 16 |
                                           static_cast<uint32_t>(lenbuf[3]) << 24);
  if (got != 4 || len != static_cast<int32_t>(expected.size())) throw EVarListError(kErrVarListVersion);
  std::string text(expected.size(), '\0');
  if (stream_.Read(text.data(), text.size()) != text.size() || text != expected)
    throw EVarListError(kErrVarListVersion);
}

int TMyReader::PeekTag() {
  uint8_t tag;
  if (stream_.Read(&tag, 1) != 1) return -1;
  stream_.Seek(stream_.Position() - 1);
  return tag;
}

uint8_t TMyReader::ReadTag() {
  uint8_t tag;
  if (stream_.Read(&tag, 1) != 1) throw EVarListError(kErrVarListCorrupted);
  return tag;
}

void TMyReader::ReadPayload(void* out, size_t n) {
  std::memset(out, 0, n);
  stream_.Read(out, n);
}

int64_t TMyReader::ReadIntegerPayload(uint8_t tag) {
  switch (tag) {
    case tagInt8: {
      int8_t b;
      ReadPayload(&b, 1);
      return b;
    }
    case tagInt16: {
      uint8_t b[2];
      ReadPayload(b, 2);
      return static_cast<int16_t>(b[0] | b[1] << 8);
    }
    default: {
      uint8_t b[4];
      ReadPayload(b, 4);
      return static_cast<int32_t>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24);
    }
  }
}

std::string TMyReader::ReadBytes(int64_t announced) {
  if (announced < 0) throw EVarListError(kErrVarListCorrupted);
  // A payload shorter than announced gives what is there; the announced
  // length is never allocated blindly.
  const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(announced), stream_.Remaining());
  std::string s(static_cast<size_t>(n), '\0');
  stream_.Read(s.data(), s.size());
  return s;
}

TVariant TMyReader::ReadValue() {
  EnsureHeader();
  const int peek = PeekTag();
  if (peek < 0) throw EVarListError(kErrVarListCorrupted);
  switch (peek) {
    case tagNull:
    case tagInt8:
    case tagInt16:
    case tagInt32:
    case tagExtended:
    case tagString:
    case tagFalse:
    case tagTrue:
    case tagBinary:
    case tagLString:
    case tagNil:
    case tagSingle:
    case tagCurrency:
    case tagDate:
    case tagWString: break;
    default:
      // Unknown tag: an error value, and the tag stays where it is.
      return TVariant::Error();
  }
  const uint8_t tag = ReadTag();
  switch (tag) {
    case tagNull: return TVariant::Null();
    case tagNil: return TVariant();
    case tagInt8:
    case tagInt16: return TVariant::Smallint(static_cast<int16_t>(ReadIntegerPayload(tag)));
    case tagInt32: return TVariant(static_cast<int32_t>(ReadIntegerPayload(tag)));
    case tagExtended: {
      uint8_t ext[10];
      ReadPayload(ext, 10);
      return TVariant(ExtendedToDouble(ext));
    }
    case tagString: {
      uint8_t len = 0;
      ReadPayload(&len, 1);
      return TVariant(ReadBytes(len));
    }
    case tagLString: {
      uint8_t b[4];
      ReadPayload(b, 4);
      return TVariant(
          ReadBytes(static_cast<int32_t>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24)));
    }
    case tagFalse: return TVariant(false);
    case tagTrue: return TVariant(true);
    case tagBinary: {
      uint8_t b[4];
      ReadPayload(b, 4);
      const std::string bytes =
          ReadBytes(static_cast<int32_t>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24));
      if (bytes.empty()) return TVariant::Null();
      return TVariant::Bytes(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
    case tagSingle: {
      float f;
      ReadPayload(&f, 4);
      return TVariant::Single(f);
    }
    case tagCurrency: {
      int64_t c;
      ReadPayload(&c, 8);
      return TVariant::Currency(c);
    }
    case tagDate: {
      double d;
      ReadPayload(&d, 8);
      return TVariant::Date(d);
    }
    default: {  // tagWString
      uint8_t b[4];
      ReadPayload(b, 4);
      const int32_t chars =
          static_cast<int32_t>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24);
      if (chars < 0) throw EVarListError(kErrVarListCorrupted);
      const std::string bytes = ReadBytes(static_cast<int64_t>(chars) * 2);
      std::u16string w(bytes.size() / 2, u'\0');
      for (size_t i = 0; i < w.size(); ++i)
        w[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                     static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
      return TVariant::Wide(std::move(w));
    }
  }
}

int32_t TMyReader::ReadInteger() {
  EnsureHeader();
  const int tag = PeekTag();
  if (tag != tagInt8 && tag != tagInt16 && tag != tagInt32) throw EVarListError(kErrVariantType);
  return static_cast<int32_t>(ReadIntegerPayload(ReadTag()));
}

double TMyReader::ReadFloat() {
  EnsureHeader();
  const int tag = PeekTag();
  if (tag == tagInt8 || tag == tagInt16 || tag == tagInt32)
    return static_cast<double>(ReadIntegerPayload(ReadTag()));
  if (tag != tagExtended && tag != tagSingle && tag != tagDate) throw EVarListError(kErrVariantType);
  return ReadValue().RawFloat();
}

float TMyReader::ReadSingle() { return static_cast<float>(ReadFloat()); }

int64_t TMyReader::ReadCurrency() {
  EnsureHeader();
  const int tag = PeekTag();
  if (tag == tagInt8 || tag == tagInt16 || tag == tagInt32) return ReadIntegerPayload(ReadTag()) * 10000;
  if (tag != tagCurrency) throw EVarListError(kErrVariantType);
  return ReadValue().RawInt();
}

double TMyReader::ReadDate() {
  EnsureHeader();
  if (PeekTag() != tagDate) throw EVarListError(kErrVariantType);
  return ReadValue().RawFloat();
}

bool TMyReader::ReadBoolean() {
  EnsureHeader();
  const int tag = PeekTag();
  if (tag != tagTrue && tag != tagFalse) throw EVarListError(kErrVariantType);
  return ReadTag() == tagTrue;
}

std::string TMyReader::ReadString() {
  EnsureHeader();
  const int tag = PeekTag();
  if (tag != tagString && tag != tagLString) throw EVarListError(kErrVariantType);
  return ReadValue().RawString();
}

std::u16string TMyReader::ReadWideString() {
  EnsureHeader();
  if (PeekTag() != tagWString) throw EVarListError(kErrVariantType);
  return ReadValue().RawWide();
}

// ---------------------------------------------------------------------------
// TVarList

TVarList::TVarList(const TVarList& other) {
  ShareFrom(other);
  std::lock_guard lock(other.mutex_);
  raise_when_missing_ = other.raise_when_missing_;
}

TVarList& TVarList::operator=(const TVarList& other) {
  if (this != &other) Assign(&other);
  return *this;
}

TVarList::TBlock::TBlock() : names(new TNames) {}

TVarList::TBlock::TBlock(const TBlock& other) : names(other.names) {
  // A record copied for a change mostly gains a name or two next: room for
  // them saves moving every value again.
  values.reserve(other.values.size() + other.values.size() / 8 + 4);
  values = other.values;
  names->refs.fetch_add(1, std::memory_order_relaxed);
}

TVarList::TBlock::~TBlock() {
  if (names->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete names;
}

void TVarList::TNames::Insert(size_t i, std::string_view name) {
  if (text.size() + name.size() > UINT32_MAX) throw std::length_error("variable names too long");
  const TPlace place{static_cast<uint32_t>(text.size()), static_cast<uint32_t>(name.size())};
  places.insert(places.begin() + static_cast<std::ptrdiff_t>(i), place);
  try {
    text.append(name);
  } catch (...) {
    places.erase(places.begin() + static_cast<std::ptrdiff_t>(i));
    throw;
  }
}

void TVarList::TNames::Erase(size_t i) {
  unused += places[i].size;
  places.erase(places.begin() + static_cast<std::ptrdiff_t>(i));
  if (places.empty()) {
    text.clear();
    unused = 0;
  }
}

void TVarList::TNames::CopyFrom(const TNames& other) {
  const size_t count = other.places.size();
  places.reserve(count + count / 8 + 4);
  if (other.unused == 0) {
    text.reserve(other.text.size() + other.text.size() / 8 + 64);
    text = other.text;
    places = other.places;
    return;
  }
  text.reserve(other.text.size() - other.unused + 64);
  for (size_t i = 0; i < other.places.size(); ++i) {
    const std::string_view name = other.At(i);
    places.push_back({static_cast<uint32_t>(text.size()), static_cast<uint32_t>(name.size())});
    text.append(name);
  }
}

const TVarList::TNames& TVarList::Names() const {
  static const TNames kEmpty;
  return block_ ? *block_->names : kEmpty;
}

const std::vector<TVariant>& TVarList::Values() const {
  static const std::vector<TVariant> kEmpty;
  return block_ ? block_->values : kEmpty;
}

std::vector<TVariant>& TVarList::OwnValues() {
  if (!block_) {
    block_ = new TBlock;
  } else if (block_->refs.load(std::memory_order_acquire) != 1) {
    // Shared: the acquire pairs with the release of a copy that was dropped,
    // so its last reads are done before this list writes alone.
    auto copy = std::make_unique<TBlock>(*block_);
    Release();
    block_ = copy.release();
  }
  return block_->values;
}

TVarList::TNames& TVarList::OwnNames() {
  OwnValues();
  TNames*& names = block_->names;
  if (names->refs.load(std::memory_order_acquire) != 1) {
    // Other blocks read these names: this block takes a copy of its own.
    auto copy = std::make_unique<TNames>();
    copy->CopyFrom(*names);
    if (names->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete names;
    names = copy.release();
  } else if (names->unused > 4096 && names->unused > names->text.size() / 2) {
    // Mostly removed names: the text is written anew without them.
    auto copy = std::make_unique<TNames>();
    copy->CopyFrom(*names);
    delete names;
    names = copy.release();
  }
  return *names;
}

void TVarList::Insert(size_t i, std::string_view name, const TVariant& value) {
  TNames& names = OwnNames();
  std::vector<TVariant>& values = block_->values;
  names.Insert(i, name);
  try {
    values.insert(values.begin() + static_cast<std::ptrdiff_t>(i), value);
  } catch (...) {
    names.Erase(i);
    throw;
  }
}

void TVarList::Erase(size_t i) {
  OwnNames().Erase(i);
  block_->values.erase(block_->values.begin() + static_cast<std::ptrdiff_t>(i));
}

void TVarList::ShareFrom(const TVarList& other) {
  // The other list's variables are taken under its own lock first, so that
  // two lists assigned to each other from two threads can never wait on
  // one another.
  TBlock* shared;
  {
    std::lock_guard source_lock(other.mutex_);
    shared = other.block_;
    if (shared) shared->refs.fetch_add(1, std::memory_order_relaxed);
  }
  std::lock_guard lock(mutex_);
  Release();
  block_ = shared;
}

void TVarList::Release() {
  if (block_ && block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete block_;
  block_ = nullptr;
}

size_t TVarList::Find(std::string_view name, bool& found) const {
  const TNames& names = Names();
  const size_t count = names.Count();
  // Lists are mostly filled in name order (loading, building records):
  // a name after the last one needs no search.
  if (count != 0 && AnsiCompareText(names.At(count - 1), name) < 0) {
    found = false;
    return count;
  }
  size_t lo = 0, hi = count;
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    const int c = AnsiCompareText(names.At(mid), name);
    if (c == 0) {
      found = true;
      return mid;
    }
    if (c < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  found = false;
  return lo;
}

void TVarList::SetValue(std::string_view name, const TVariant& value) {
  std::lock_guard lock(mutex_);
  bool found;
  const size_t i = Find(name, found);
  if (found)
    OwnValues()[i] = value;
  else
    Insert(i, name, value);
}

TVariant TVarList::GetValue(std::string_view name) const {
  std::lock_guard lock(mutex_);
  bool found;
  const size_t i = Find(name, found);
  if (found) return Values()[i];
  if (raise_when_missing_) throw EVarListError("Variable " + std::string(name) + " nicht gefunden");
  return TVariant::Null();
}

bool TVarList::TryGetValue(std::string_view name, TVariant& out) const {
  std::lock_guard lock(mutex_);
  bool found;
  const size_t i = Find(name, found);
  if (found) out = Values()[i];
  return found;
}

bool TVarList::Exists(std::string_view name) const { return IndexOf(name) >= 0; }

int TVarList::IndexOf(std::string_view name) const {
  std::lock_guard lock(mutex_);
  bool found;
  const size_t i = Find(name, found);
  return found ? static_cast<int>(i) : -1;
}

int TVarList::Count() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(Values().size());
}

std::string TVarList::NameByIndex(int i) const {
  std::lock_guard lock(mutex_);
  const TNames& names = Names();
  if (i < 0 || i >= static_cast<int>(names.Count())) return "";
  return std::string(names.At(static_cast<size_t>(i)));
}

TVariant TVarList::ValueByIndex(int i) const {
  std::lock_guard lock(mutex_);
  const std::vector<TVariant>& values = Values();
  if (i < 0 || i >= static_cast<int>(values.size()))
    throw EVarListError(
        "Listenindex \xFC"
        "berschreitet das Maximum (" +
        std::to_string(i) + ")");
  return values[static_cast<size_t>(i)];
}

void TVarList::Delete(int i) {
  std::lock_guard lock(mutex_);
  if (i < 0 || i >= static_cast<int>(Values().size()))
    throw EVarListError(
        "Listenindex \xFC"
        "berschreitet das Maximum (" +
        std::to_string(i) + ")");
  Erase(static_cast<size_t>(i));
}

void TVarList::Remove(std::string_view name) {
  std::lock_guard lock(mutex_);
  bool found;
  const size_t i = Find(name, found);
  if (!found) return;
  Erase(i);
}

void TVarList::Clear() {
  std::lock_guard lock(mutex_);
  Release();
}

void TVarList::Assign(const TVarList* other) {
  if (other == this) return;
  if (!other) {
    Clear();
    return;
  }
  ShareFrom(*other);
}

void TVarList::ForEach(const std::function<void(std::string_view, const TVariant&)>& fn) const {
  std::lock_guard lock(mutex_);
  const TNames& names = Names();
  const std::vector<TVariant>& values = Values();
  for (size_t i = 0; i < names.Count(); ++i) fn(names.At(i), values[i]);
}

void TVarList::SaveToStream(TStream& stream) const {
  std::lock_guard lock(mutex_);
  std::string text;
  const TNames& names = Names();
  for (size_t i = 0; i < names.Count(); ++i) {
    text += names.At(i);
    text += "\r\n";
  }
  stream.WriteLString(text);
  const std::vector<TVariant>& values = Values();
  if (values.empty()) return;
  TMyWriter writer(stream);
  for (const TVariant& v : values) writer.WriteValue(v);
}

namespace {

// Splits at CR LF, CR or LF; a last line without a line end counts too.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.emplace_back(text, start, i - start);
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = ++i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.emplace_back(text, start);
  return lines;
}

}  // namespace

void TVarList::LoadFromStream(TStream& stream) {
  std::lock_guard lock(mutex_);
  if (loading_) return;
  loading_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{loading_};
  Release();
  if (stream.Size() == 0) return;
  if (stream.Remaining() < 4) throw EVarListError(kErrVarListCorrupted);
  const int32_t n = stream.ReadInt32();
  if (n == 0) return;
  if (n < 0 || static_cast<uint64_t>(n) > stream.Remaining()) throw EVarListError(kErrVarListCorrupted);
  std::string names(static_cast<size_t>(n), '\0');
  stream.ReadBuffer(names.data(), names.size());
  TMyReader reader(stream);
  for (const std::string& name : SplitLines(names)) {
    if (stream.Position() >= stream.Size()) throw EVarListError(kErrVarListCorrupted);
    SetValue(name, reader.ReadValue());
  }
}

// ---------------------------------------------------------------------------
// Record streams

void WriteVarListRecord(TStream& stream, const TVarList& list) {
  TMemoryStream body;
  list.SaveToStream(body);
  stream.WriteInt32(static_cast<int32_t>(body.Size()));
  stream.Write(body.Bytes().data(), body.Bytes().size());
}

void ReadVarListRecord(TStream& stream, TVarList& list, const std::string& load_error) {
  if (stream.Remaining() < 4) throw EVarListError(load_error);
  const int32_t len = stream.ReadInt32();
  if (len < 0 || static_cast<uint64_t>(len) > stream.Remaining()) throw EVarListError(load_error);
  std::vector<uint8_t> bytes(static_cast<size_t>(len));
  stream.ReadBuffer(bytes.data(), bytes.size());
  TMemoryStream body(std::move(bytes));
  list.LoadFromStream(body);
}

void WriteRecordList(TStream& stream, const std::vector<const TVarList*>& lists) {
  stream.WriteInt32(static_cast<int32_t>(lists.size()));
  for (const TVarList* l : lists) WriteVarListRecord(stream, *l);
}

std::vector<TVarList> ReadRecordList(TStream& stream, const std::string& load_error) {
  if (stream.Remaining() < 4) throw EVarListError(load_error);
  const int32_t count = stream.ReadInt32();
  if (count < 0) throw EVarListError(load_error);
  std::vector<TVarList> out;
  for (int32_t i = 0; i < count; ++i) {
    if (stream.AtEnd()) throw EVarListError(load_error);
    out.emplace_back();
    ReadVarListRecord(stream, out.back(), load_error);
  }
  return out;
}

}  // namespace kv
