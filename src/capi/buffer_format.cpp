#include "buffer_format.hpp"

#include <climits>
#include <complex>

namespace ombrix {

namespace {

const char* describe_type_char(char ch, bool is_complex) {
    switch (ch) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return is_complex ? "'complex float'" : "'float'";
        case 'd': return is_complex ? "'complex double'" : "'double'";
        case 'g': return is_complex ? "'complex long double'" : "'long double'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's': case 'p': return "a string";
        case 0: return "end";
        default: return "unparsable format string";
    }
}

bool raise_unexpected_char(char ch) {
    PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", ch);
    return false;
}

// Group of a type character: 'R' real, 'C' complex, 'I' signed, 'U' unsigned,
// 'H' char, 'O' object, 'P' pointer; 0 with an error for anything else.
char type_group(char ch, bool is_complex) {
    switch (ch) {
        case 'c': return 'H';
        case 'b': case 'h': case 'i': case 'l': case 'q': case 's': case 'p': return 'I';
        case '?': case 'B': case 'H': case 'I': case 'L': case 'Q': return 'U';
        case 'f': case 'd': case 'g': return is_complex ? 'C' : 'R';
        case 'O': return 'O';
        case 'P': return 'P';
        default: raise_unexpected_char(ch); return 0;
    }
}

std::size_t native_size(char ch, bool is_complex) {
    switch (ch) {
        case '?': case 'c': case 'b': case 'B': case 's': case 'p': return 1;
        case 'h': case 'H': return sizeof(short);
        case 'i': case 'I': return sizeof(int);
        case 'l': case 'L': return sizeof(long);
        case 'q': case 'Q': return sizeof(long long);
        case 'f': return sizeof(float) * (is_complex ? 2 : 1);
        case 'd': return sizeof(double) * (is_complex ? 2 : 1);
        case 'g': return sizeof(long double) * (is_complex ? 2 : 1);
        case 'O': case 'P': return sizeof(void*);
        default: raise_unexpected_char(ch); return 0;
    }
}

std::size_t standard_size(char ch, bool is_complex) {
    switch (ch) {
        case '?': case 'c': case 'b': case 'B': case 's': case 'p': return 1;
        case 'h': case 'H': return 2;
        case 'i': case 'I': case 'l': case 'L': return 4;
        case 'q': case 'Q': return 8;
        case 'f': return is_complex ? 8 : 4;
        case 'd': return is_complex ? 16 : 8;
        case 'g':
            PyErr_SetString(PyExc_ValueError,
                            "Python does not define a standard format string size for long "
                            "double ('g')..");
            return 0;
        case 'O': case 'P': return sizeof(void*);
        default: raise_unexpected_char(ch); return 0;
    }
}

std::size_t native_alignment(char ch, bool is_complex) {
    switch (ch) {
        case '?': case 'c': case 'b': case 'B': case 's': case 'p': return 1;
        case 'h': case 'H': return alignof(short);
        case 'i': case 'I': return alignof(int);
        case 'l': case 'L': return alignof(long);
        case 'q': case 'Q': return alignof(long long);
        case 'f': return is_complex ? alignof(std::complex<float>) : alignof(float);
        case 'd': return is_complex ? alignof(std::complex<double>) : alignof(double);
        case 'g': return is_complex ? alignof(std::complex<long double>) : alignof(long double);
        case 'O': case 'P': return alignof(void*);
        default: raise_unexpected_char(ch); return 0;
    }
}

// The parse of one format string against a single expected element. The
// element is the whole "struct" being matched: once it has been matched,
// anything further is a mismatch against the end of the expected type.
class FormatChecker {
public:
    explicit FormatChecker(const ElementType& expected) : expected_(expected) {}

    bool check(const char* ts) { return parse(ts, 0) != nullptr; }

private:
    static constexpr int kMaxNesting = 64;

    bool raise_expected() {
        if (matched_) {
            PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "",
                         "end", "", describe_type_char(enc_type_, is_complex_));
        } else {
            PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                         expected_.name, "'", describe_type_char(enc_type_, is_complex_));
        }
        return false;
    }

    // Matches the pending run of enc_count_ elements of enc_type_.
    bool process_chunk() {
        if (enc_type_ == 0) return true;
        char group = type_group(enc_type_, is_complex_);
        if (group == 0) return false;
        do {
            if (matched_) return raise_expected();
            bool native = enc_packmode_ == '@' || enc_packmode_ == '^';
            std::size_t size = native ? native_size(enc_type_, is_complex_)
                                      : standard_size(enc_type_, is_complex_);
            if (size == 0) return false;
            if (enc_packmode_ == '@') {
                std::size_t align_at = native_alignment(enc_type_, is_complex_);
                if (align_at == 0) return false;
                std::size_t rest = fmt_offset_ % align_at;
                if (rest > 0) fmt_offset_ += align_at - rest;
            }
            if (expected_.size != size || expected_.group != group) return raise_expected();
            if (fmt_offset_ != 0) {
                PyErr_Format(PyExc_ValueError,
                             "Buffer dtype mismatch; next field is at offset %zd but %zd expected",
                             static_cast<Py_ssize_t>(fmt_offset_), static_cast<Py_ssize_t>(0));
                return false;
            }
            fmt_offset_ += size;
            --enc_count_;
            matched_ = true;
            if (enc_count_ != 0) return raise_expected();
        } while (enc_count_);
        enc_type_ = 0;
        is_complex_ = false;
        return true;
    }

    bool expect_number(const char*& ts, std::size_t& out) {
        if (*ts < '0' || *ts > '9') {
            PyErr_Format(PyExc_ValueError,
                         "Does not understand character buffer dtype format string ('%c')", *ts);
            return false;
        }
        std::size_t count = 0;
        while (*ts >= '0' && *ts <= '9') {
            count = count * 10 + static_cast<std::size_t>(*ts++ - '0');
            if (count > INT_MAX) {
                PyErr_SetString(PyExc_ValueError, "Buffer format string has a count that is too large");
                return false;
            }
        }
        out = count;
        return true;
    }

    // "(dims)": the expected element is a scalar, so any dimension is wrong.
    bool parse_array(const char*& ts) {
        ++ts;
        if (new_count_ != 1) {
            PyErr_SetString(PyExc_ValueError, "Cannot handle repeated arrays in format string");
            return false;
        }
        if (!process_chunk()) return false;
        int dims = 0;
        while (*ts && *ts != ')') {
            if (*ts == ' ' || *ts == '\f' || *ts == '\r' || *ts == '\n' || *ts == '\t' || *ts == '\v') {
                ++ts;
                continue;
            }
            std::size_t number;
            if (!expect_number(ts, number)) return false;
            if (*ts != ',' && *ts != ')') {
                PyErr_Format(PyExc_ValueError, "Expected a comma in format string, got '%c'", *ts);
                return false;
            }
            if (*ts == ',') ++ts;
            ++dims;
        }
        if (dims != 0) {
            PyErr_Format(PyExc_ValueError, "Expected %d dimension(s), got %d", 0, dims);
            return false;
        }
        if (!*ts) {
            PyErr_SetString(PyExc_ValueError, "Unexpected end of format string, expected ')'");
            return false;
        }
        valid_array_ = true;
        new_count_ = 1;
        ++ts;
        return true;
    }

    // Returns the position after what it parsed, or nullptr with an error.
    const char* parse(const char* ts, int depth) {
        if (depth > kMaxNesting) {
            PyErr_SetString(PyExc_ValueError, "Buffer format string is nested too deeply");
            return nullptr;
        }
        bool got_z = false;
        while (true) {
            switch (*ts) {
                case 0:
                    if (enc_type_ != 0 && matched_) {
                        raise_expected();
                        return nullptr;
                    }
                    if (!process_chunk()) return nullptr;
                    if (!matched_) {
                        raise_expected();
                        return nullptr;
                    }
                    return ts;
                case ' ': case '\r': case '\n':
                    ++ts;
                    break;
                case '<':
                    new_packmode_ = '=';
                    ++ts;
                    break;
                case '>': case '!':
                    PyErr_SetString(PyExc_ValueError,
                                    "Big-endian buffer not supported on little-endian compiler");
                    return nullptr;
                case '=': case '@': case '^':
                    new_packmode_ = *ts++;
                    break;
                case 'T': {
                    std::size_t struct_count = new_count_;
                    new_count_ = 1;
                    ++ts;
                    if (*ts != '{') {
                        PyErr_SetString(PyExc_ValueError, "Buffer acquisition: Expected '{' after 'T'");
                        return nullptr;
                    }
                    if (!process_chunk()) return nullptr;
                    enc_type_ = 0;
                    enc_count_ = 0;
                    ++ts;
                    const char* after = ts;
                    for (std::size_t i = 0; i != struct_count; ++i) {
                        after = parse(ts, depth + 1);
                        if (!after) return nullptr;
                    }
                    ts = after;
                    break;
                }
                case '}':
                    ++ts;
                    if (!process_chunk()) return nullptr;
                    enc_type_ = 0;
                    return ts;
                case 'x':
                    if (!process_chunk()) return nullptr;
                    fmt_offset_ += new_count_;
                    new_count_ = 1;
                    enc_count_ = 0;
                    enc_type_ = 0;
                    enc_packmode_ = new_packmode_;
                    ++ts;
                    break;
                case 'Z':
                    got_z = true;
                    ++ts;
                    if (*ts != 'f' && *ts != 'd' && *ts != 'g') {
                        raise_unexpected_char('Z');
                        return nullptr;
                    }
                    [[fallthrough]];
                case '?': case 'c': case 'b': case 'B': case 'h': case 'H': case 'i': case 'I':
                case 'l': case 'L': case 'q': case 'Q': case 'f': case 'd': case 'g':
                case 'O': case 'p':
                    if (enc_type_ == *ts && got_z == is_complex_ && enc_packmode_ == new_packmode_ &&
                        !valid_array_) {
                        enc_count_ += new_count_;
                        new_count_ = 1;
                        got_z = false;
                        ++ts;
                        break;
                    }
                    [[fallthrough]];
                case 's':
                    if (!process_chunk()) return nullptr;
                    enc_count_ = new_count_;
                    enc_packmode_ = new_packmode_;
                    enc_type_ = *ts;
                    is_complex_ = got_z;
                    ++ts;
                    new_count_ = 1;
                    got_z = false;
                    break;
                case ':':
                    ++ts;
                    while (*ts && *ts != ':') ++ts;
                    if (!*ts) {
                        PyErr_SetString(PyExc_ValueError,
                                        "Unexpected end of format string, expected ':'");
                        return nullptr;
                    }
                    ++ts;
                    break;
                case '(':
                    if (!parse_array(ts)) return nullptr;
                    break;
                default: {
                    std::size_t number;
                    if (!expect_number(ts, number)) return nullptr;
                    new_count_ = number;
                }
            }
        }
    }

    const ElementType& expected_;
    bool matched_ = false;  // the one expected element has been seen
    char enc_type_ = 0;
    bool is_complex_ = false;
    std::size_t enc_count_ = 0;
    std::size_t new_count_ = 1;
    char enc_packmode_ = '@';
    char new_packmode_ = '@';
    std::size_t fmt_offset_ = 0;
    bool valid_array_ = false;
};

}  // namespace

bool check_buffer_format(const char* format, const ElementType& expected) {
    return FormatChecker(expected).check(format ? format : "B");
}

}  // namespace ombrix
