#include "Platform/ML/SafeTensors.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "Platform/ML/Float16Conversion.hpp"
#include "Platform/ML/PlatformMLError.hpp"

namespace platform::ml {

namespace {

// A header larger than this is not a real model's and is refused before it
// is parsed.
constexpr uint64_t maxHeaderSize = 100u << 20;

size_t dtypeSize(TensorDType dtype) {
  return dtype == TensorDType::f32 ? 4 : 2;
}

std::optional<TensorDType> dtypeFromName(std::string_view name) {
  if (name == "F16") return TensorDType::f16;
  if (name == "BF16") return TensorDType::bf16;
  if (name == "F32") return TensorDType::f32;
  return std::nullopt;
}

struct FileCloser {
  int fd;
  ~FileCloser() { ::close(fd); }
};

}  // namespace

std::string_view tensorDTypeName(TensorDType dtype) noexcept {
  switch (dtype) {
    case TensorDType::f16: return "F16";
    case TensorDType::bf16: return "BF16";
    case TensorDType::f32: return "F32";
  }
  return "F32";
}

std::shared_ptr<const SafeTensors> SafeTensors::open(const std::filesystem::path& path) {
  const auto fail = [&](const std::string& problem) -> std::shared_ptr<const SafeTensors> {
    throw PlatformMLError(PlatformMLError::Code::modelLoadFailed, path.string() + ": " + problem);
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(std::strerror(errno));
  const FileCloser closer{fd};
  struct stat status {};
  if (::fstat(fd, &status) != 0) return fail(std::strerror(errno));
  if (!S_ISREG(status.st_mode)) return fail("not a regular file");
  const auto size = static_cast<size_t>(status.st_size);
  if (size < 8) return fail("the file is too short for a safetensors header");
  void* mapping = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (mapping == MAP_FAILED)
    return fail(std::string("cannot map the file: ") + std::strerror(errno));
  auto file = std::make_shared<SafeTensors>(path, static_cast<const std::byte*>(mapping), size);
  file->parseHeader();
  return file;
}

SafeTensors::SafeTensors(std::filesystem::path path, const std::byte* mapping, size_t size)
    : path_(std::move(path)), mapping_(mapping), size_(size) {}

SafeTensors::~SafeTensors() {
  ::munmap(const_cast<std::byte*>(mapping_), size_);
}

void SafeTensors::parseHeader() {
  const auto fail = [&](const std::string& problem) {
    throw PlatformMLError(PlatformMLError::Code::modelLoadFailed, path_.string() + ": " + problem);
  };
  uint64_t headerSize = 0;
  for (int i = 7; i >= 0; --i)
    headerSize = headerSize << 8 | std::to_integer<uint64_t>(mapping_[i]);
  if (headerSize > size_ - 8 || headerSize > maxHeaderSize) {
    fail("the header length " + std::to_string(headerSize) + " exceeds the file of " +
         std::to_string(size_) + " bytes");
  }
  const auto* headerText = reinterpret_cast<const char*>(mapping_ + 8);
  nlohmann::json header;
  try {
    header = nlohmann::json::parse(headerText, headerText + headerSize);
  } catch (const nlohmann::json::exception& error) {
    fail(std::string("the header is not valid JSON: ") + error.what());
  }
  if (!header.is_object()) fail("the header is not a JSON object");
  data_ = mapping_ + 8 + headerSize;
  dataSize_ = size_ - 8 - static_cast<size_t>(headerSize);

  std::vector<std::pair<size_t, size_t>> ranges;
  for (const auto& [name, entry] : header.items()) {
    if (name == "__metadata__") {
      if (!entry.is_object()) fail("__metadata__ is not an object");
      for (const auto& [key, value] : entry.items()) {
        if (!value.is_string()) fail("__metadata__ value \"" + key + "\" is not a string");
        metadata_[key] = value.get<std::string>();
      }
      continue;
    }
    const std::string where = "tensor \"" + name + "\": ";
    if (!entry.is_object()) fail(where + "the entry is not an object");
    const auto dtypeEntry = entry.find("dtype");
    if (dtypeEntry == entry.end() || !dtypeEntry->is_string()) fail(where + "no dtype");
    const auto dtype = dtypeFromName(dtypeEntry->get<std::string>());
    if (!dtype) {
      fail(where + "unsupported dtype " + dtypeEntry->get<std::string>() +
           " (F16, BF16 and F32 are supported)");
    }
    const auto shapeEntry = entry.find("shape");
    if (shapeEntry == entry.end() || !shapeEntry->is_array()) fail(where + "no shape");
    TensorInfo info;
    info.name = name;
    info.dtype = *dtype;
    uint64_t count = 1;
    for (const auto& dimension : *shapeEntry) {
      if (!dimension.is_number_unsigned())
        fail(where + "a shape entry is not a non-negative integer");
      const auto value = dimension.get<uint64_t>();
      if (value > (uint64_t{1} << 40) || __builtin_mul_overflow(count, value, &count) ||
          count > (uint64_t{1} << 40)) {
        fail(where + "the shape is too large");
      }
      info.shape.push_back(static_cast<int64_t>(value));
    }
    const auto offsets = entry.find("data_offsets");
    if (offsets == entry.end() || !offsets->is_array() || offsets->size() != 2 ||
        !(*offsets)[0].is_number_unsigned() || !(*offsets)[1].is_number_unsigned()) {
      fail(where + "data_offsets is not a pair of non-negative integers");
    }
    const auto begin = (*offsets)[0].get<uint64_t>();
    const auto end = (*offsets)[1].get<uint64_t>();
    if (begin > end || end > dataSize_) {
      fail(where + "data_offsets [" + std::to_string(begin) + ", " + std::to_string(end) +
           "] lie outside the " + std::to_string(dataSize_) + " data bytes");
    }
    if (end - begin != count * dtypeSize(*dtype)) {
      fail(where + "holds " + std::to_string(end - begin) + " bytes but its shape needs " +
           std::to_string(count * dtypeSize(*dtype)));
    }
    info.count = static_cast<int64_t>(count);
    info.byteOffset = static_cast<size_t>(begin);
    info.byteSize = static_cast<size_t>(end - begin);
    if (info.byteSize > 0) ranges.emplace_back(info.byteOffset, info.byteOffset + info.byteSize);
    tensors_.emplace(name, std::move(info));
  }
  std::sort(ranges.begin(), ranges.end());
  for (size_t i = 1; i < ranges.size(); ++i) {
    if (ranges[i].first < ranges[i - 1].second) fail("two tensors share data bytes");
  }
}

const TensorInfo* SafeTensors::find(std::string_view name) const {
  const auto found = tensors_.find(name);
  return found == tensors_.end() ? nullptr : &found->second;
}

const TensorInfo& SafeTensors::tensor(std::string_view name) const {
  if (const TensorInfo* info = find(name)) return *info;
  throw PlatformMLError(PlatformMLError::Code::modelLoadFailed,
                        path_.string() + ": no tensor \"" + std::string(name) + "\"");
}

std::span<const std::byte> SafeTensors::bytes(const TensorInfo& tensor) const {
  return {data_ + tensor.byteOffset, tensor.byteSize};
}

void SafeTensors::readFloats(const TensorInfo& tensor, std::span<float> target) const {
  const size_t count = std::min(target.size(), static_cast<size_t>(tensor.count));
  if (count == 0) return;
  const std::byte* source = data_ + tensor.byteOffset;
  // The data section need not be aligned for the element type, so the
  // values are copied out before conversion.
  switch (tensor.dtype) {
    case TensorDType::f32: std::memcpy(target.data(), source, count * 4); break;
    case TensorDType::f16: {
      std::vector<Float16> halves(count);
      std::memcpy(halves.data(), source, count * 2);
      convertFloat16ToFloat32(halves.data(), target.data(), count);
      break;
    }
    case TensorDType::bf16: {
      std::vector<uint16_t> halves(count);
      std::memcpy(halves.data(), source, count * 2);
      convertBFloat16ToFloat32(halves.data(), target.data(), count);
      break;
    }
  }
}

std::vector<float> SafeTensors::floats(std::string_view name) const {
  const TensorInfo& info = tensor(name);
  std::vector<float> values(static_cast<size_t>(info.count));
  readFloats(info, values);
  return values;
}

namespace {
void writeTensorFile(const std::filesystem::path& path, const std::vector<TensorToWrite>& tensors,
                     const std::function<std::vector<float>(size_t)>& produce,
                     const std::map<std::string, std::string>& metadata, bool valuesGiven) {
  const auto fail = [&](const std::string& problem) {
    throw PlatformMLError(PlatformMLError::Code::invalidArgument, path.string() + ": " + problem);
  };
  nlohmann::ordered_json header = nlohmann::ordered_json::object();
  if (!metadata.empty()) header["__metadata__"] = metadata;
  size_t offset = 0;
  for (const auto& tensor : tensors) {
    int64_t count = 1;
    for (const int64_t dimension : tensor.shape) count *= dimension;
    if (valuesGiven && count != static_cast<int64_t>(tensor.values.size())) {
      fail("tensor \"" + tensor.name + "\" has " + std::to_string(tensor.values.size()) +
           " values for its shape");
    }
    const size_t bytes = static_cast<size_t>(count) * dtypeSize(tensor.dtype);
    header[tensor.name] = {{"dtype", tensorDTypeName(tensor.dtype)},
                           {"shape", tensor.shape},
                           {"data_offsets", {offset, offset + bytes}}};
    offset += bytes;
  }
  std::string headerText = header.dump();
  headerText.append((8 - headerText.size() % 8) % 8, ' ');
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) fail("cannot create the file");
  uint64_t headerSize = headerText.size();
  char sizeBytes[8];
  for (int i = 0; i < 8; ++i) sizeBytes[i] = static_cast<char>((headerSize >> (8 * i)) & 0xff);
  out.write(sizeBytes, 8);
  out.write(headerText.data(), static_cast<std::streamsize>(headerText.size()));
  for (size_t index = 0; index < tensors.size(); ++index) {
    const auto& tensor = tensors[index];
    const std::vector<float> produced = produce(index);
    const size_t count = produced.size();
    int64_t expected = 1;
    for (const int64_t dimension : tensor.shape) expected *= dimension;
    if (static_cast<int64_t>(count) != expected) {
      fail("tensor \"" + tensor.name + "\" has " + std::to_string(count) + " values for its shape");
    }
    if (tensor.dtype == TensorDType::f32) {
      out.write(reinterpret_cast<const char*>(produced.data()),
                static_cast<std::streamsize>(count * 4));
      continue;
    }
    std::vector<uint16_t> halves(count);
    if (tensor.dtype == TensorDType::f16) {
      convertFloat32ToFloat16(produced.data(), reinterpret_cast<Float16*>(halves.data()), count);
    } else {
      for (size_t i = 0; i < count; ++i) {
        uint32_t bits;
        std::memcpy(&bits, &produced[i], 4);
        // Round to nearest even on the dropped half.
        bits += 0x7fff + ((bits >> 16) & 1);
        halves[i] = static_cast<uint16_t>(bits >> 16);
      }
    }
    out.write(reinterpret_cast<const char*>(halves.data()),
              static_cast<std::streamsize>(count * 2));
  }
  if (!out.flush()) fail("cannot write the file");
}

}  // namespace

void writeSafeTensors(const std::filesystem::path& path, const std::vector<TensorToWrite>& tensors,
                      const std::map<std::string, std::string>& metadata) {
  writeTensorFile(
      path, tensors, [&](size_t index) { return tensors[index].values; }, metadata, true);
}

void writeSafeTensors(const std::filesystem::path& path, const std::vector<TensorToWrite>& tensors,
                      const std::function<std::vector<float>(size_t)>& values,
                      const std::map<std::string, std::string>& metadata) {
  writeTensorFile(path, tensors, values, metadata, false);
}

}  // namespace platform::ml
