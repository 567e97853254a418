#pragma once
// A minimal JSON writer for the command line's --json output: objects, arrays, strings and
// numbers, with correct escaping. No parsing.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace norvale::cli {

class JsonWriter {
  public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(std::string_view key);
    JsonWriter& String(std::string_view value);
    JsonWriter& Number(int64_t value);
    JsonWriter& Unsigned(uint64_t value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();
    const std::string& Text() const { return out_; }

  private:
    void Separate();
    std::string out_;
    std::vector<bool> first_;  // per open container: nothing written yet
    bool afterKey_ = false;
};

std::string JsonEscape(std::string_view s);

}  // namespace norvale::cli
