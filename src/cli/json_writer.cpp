#include "cli/json_writer.h"

#include <cstdio>

namespace norvale::cli {

std::string JsonEscape(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += char(c);
                }
        }
    }
    out += '"';
    return out;
}

void JsonWriter::Separate() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back()) out_ += ',';
        first_.back() = false;
    }
}

JsonWriter& JsonWriter::BeginObject() {
    Separate();
    out_ += '{';
    first_.push_back(true);
    return *this;
}
JsonWriter& JsonWriter::EndObject() {
    out_ += '}';
    first_.pop_back();
    return *this;
}
JsonWriter& JsonWriter::BeginArray() {
    Separate();
    out_ += '[';
    first_.push_back(true);
    return *this;
}
JsonWriter& JsonWriter::EndArray() {
    out_ += ']';
    first_.pop_back();
    return *this;
}
JsonWriter& JsonWriter::Key(std::string_view key) {
    Separate();
    out_ += JsonEscape(key);
    out_ += ':';
    afterKey_ = true;
    return *this;
}
JsonWriter& JsonWriter::String(std::string_view value) {
    Separate();
    out_ += JsonEscape(value);
    return *this;
}
JsonWriter& JsonWriter::Number(int64_t value) {
    Separate();
    out_ += std::to_string(value);
    return *this;
}
JsonWriter& JsonWriter::Unsigned(uint64_t value) {
    Separate();
    out_ += std::to_string(value);
    return *this;
}
JsonWriter& JsonWriter::Bool(bool value) {
    Separate();
    out_ += value ? "true" : "false";
    return *this;
}
JsonWriter& JsonWriter::Null() {
    Separate();
    out_ += "null";
    return *this;
}

}  // namespace norvale::cli
