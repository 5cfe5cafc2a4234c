// k419-str0c: the build-time compiler of the program's string tables.
//
//   k419-str0c compile <table.txt> <table.str0>
//       Reads a table in its readable form and writes the binary "STR0" table.
//   k419-str0c embed <out.cpp> <NAME>=<table.str0>...
//       Writes a C++ source that embeds each compiled table as a raw data resource
//       (type RT_RCDATA) under NAME and defines k419::FindEmbeddedResource over them.
//
// Readable form, UTF-8, one item per line:
//   # comment                     (blank lines are ignored as well)
//   @ranges 0 2-6 8 ...           keys the table must hold: every key of every range,
//                                 and no other; the directive may be repeated
//   @entries 704                  the number of entries the table must hold
//   <key><TAB><text>              one entry; keys are signed 32-bit decimal numbers in
//                                 strictly ascending order
// Texts take the escapes \\ \t \n \r and \xHH (HH below 80). Raw control characters
// and raw trailing white space are refused, so that no significant character is
// invisible or at the mercy of an editor; write a trailing space as \x20.
//
// Binary form (little-endian): "STR0", entry count, then per entry key, byte offset of
// the text from the start of the table and its length in UTF-16 code units, then the
// texts in UTF-16LE, without terminators, in key order, the first right behind the
// index. Any error names the file and line and fails with exit status 1, leaving no
// output behind.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Range {
    std::int64_t first;
    std::int64_t last;
    int line;
};

struct Entry {
    std::int32_t key;
    std::u16string text;
    int line;
};

struct Table {
    std::vector<Range> ranges;
    std::optional<std::int64_t> expectedEntries;
    std::vector<Entry> entries;
};

[[noreturn]] void Fail(const std::string& file, int line, const std::string& what) {
    std::ostringstream s;
    s << file;
    if (line > 0) s << ':' << line;
    s << ": error: " << what;
    throw InputError(s.str());
}

std::optional<std::int64_t> ParseInteger(std::string_view s) {
    if (s.empty() || s.size() > 12) return std::nullopt;
    bool negative = false;
    std::size_t i = 0;
    if (s[0] == '-') {
        negative = true;
        i = 1;
    }
    if (i == s.size()) return std::nullopt;
    std::int64_t v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return std::nullopt;
        v = v * 10 + (s[i] - '0');
    }
    return negative ? -v : v;
}

bool FitsKey(std::int64_t v) {
    return v >= std::numeric_limits<std::int32_t>::min() &&
           v <= std::numeric_limits<std::int32_t>::max();
}

std::vector<std::string_view> SplitWords(std::string_view s) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
        std::size_t start = i;
        while (i < s.size() && s[i] != ' ' && s[i] != '\t') ++i;
        if (i > start) words.push_back(s.substr(start, i - start));
    }
    return words;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Resolves the escapes of a text field into plain UTF-8.
std::string Unescape(std::string_view raw, const std::string& file, int line) {
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            Fail(file, line, "raw control character in text (use \\t, \\n, \\r or \\xHH)");
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == raw.size()) Fail(file, line, "text ends in a lone backslash");
        switch (raw[i]) {
            case '\\':
                out += '\\';
                break;
            case 't':
                out += '\t';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 'x': {
                int hi = i + 1 < raw.size() ? HexDigit(raw[i + 1]) : -1;
                int lo = i + 2 < raw.size() ? HexDigit(raw[i + 2]) : -1;
                if (hi < 0 || lo < 0) Fail(file, line, "\\x needs two hexadecimal digits");
                if (hi >= 8) Fail(file, line, "\\x escapes are limited to 00..7F");
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default:
                Fail(file, line, std::string("unknown escape \\") + raw[i]);
        }
    }
    return out;
}

// Strict UTF-8 to UTF-16: refuses overlong forms, surrogates and values past U+10FFFF.
std::u16string Utf8ToUtf16(std::string_view s, const std::string& file, int line) {
    std::u16string out;
    std::size_t i = 0;
    auto bad = [&] { Fail(file, line, "text is not valid UTF-8"); };
    while (i < s.size()) {
        auto b0 = static_cast<unsigned char>(s[i]);
        char32_t cp;
        std::size_t n;
        if (b0 < 0x80) {
            cp = b0;
            n = 1;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            cp = b0 & 0x1F;
            n = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            cp = b0 & 0x0F;
            n = 3;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            cp = b0 & 0x07;
            n = 4;
        } else {
            bad();
        }
        if (i + n > s.size()) bad();
        for (std::size_t k = 1; k < n; ++k) {
            auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80) bad();
            cp = (cp << 6) | (b & 0x3F);
        }
        if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            bad();
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += n;
    }
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail(path, 0, "cannot open for reading");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void ParseRanges(Table& t, std::string_view args, const std::string& file, int line) {
    auto words = SplitWords(args);
    if (words.empty()) Fail(file, line, "@ranges needs at least one key or range");
    for (auto w : words) {
        std::size_t dash = w.find('-', 1);
        auto first = ParseInteger(w.substr(0, dash));
        auto last = dash == std::string_view::npos ? first : ParseInteger(w.substr(dash + 1));
        if (!first || !last || !FitsKey(*first) || !FitsKey(*last))
            Fail(file, line, "bad range '" + std::string(w) + "'");
        if (*last < *first) Fail(file, line, "range '" + std::string(w) + "' runs backwards");
        if (!t.ranges.empty() && *first <= t.ranges.back().last)
            Fail(file, line,
                 "range '" + std::string(w) + "' overlaps or precedes the range before it");
        t.ranges.push_back({*first, *last, line});
    }
}

Table Parse(const std::string& file) {
    std::string content = ReadFile(file);
    if (content.size() >= 3 && content.compare(0, 3, "\xEF\xBB\xBF") == 0) content.erase(0, 3);
    Table t;
    std::istringstream in(content);
    std::string rawLine;
    int line = 0;
    while (std::getline(in, rawLine)) {
        ++line;
        std::string_view l(rawLine);
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        if (l.empty() || l[0] == '#') continue;
        if (l[0] == '@') {
            auto sp = l.find(' ');
            std::string_view name = l.substr(0, sp);
            std::string_view args = sp == std::string_view::npos ? "" : l.substr(sp + 1);
            if (!t.entries.empty()) Fail(file, line, "directives must precede the entries");
            if (name == "@ranges") {
                ParseRanges(t, args, file, line);
            } else if (name == "@entries") {
                auto words = SplitWords(args);
                auto n = words.size() == 1 ? ParseInteger(words[0]) : std::nullopt;
                if (!n || *n < 0) Fail(file, line, "@entries needs a non-negative count");
                if (t.expectedEntries) Fail(file, line, "@entries given twice");
                t.expectedEntries = n;
            } else {
                Fail(file, line, "unknown directive '" + std::string(name) + "'");
            }
            continue;
        }
        auto tab = l.find('\t');
        if (tab == std::string_view::npos)
            Fail(file, line, "an entry is a key, a tab character and the text");
        auto key = ParseInteger(l.substr(0, tab));
        if (!key || !FitsKey(*key))
            Fail(file, line, "bad key '" + std::string(l.substr(0, tab)) + "'");
        if (!t.entries.empty()) {
            const Entry& prev = t.entries.back();
            if (*key == prev.key)
                Fail(file, line,
                     "duplicate key " + std::to_string(*key) + " (first on line " +
                         std::to_string(prev.line) + ")");
            if (*key < prev.key)
                Fail(file, line,
                     "key " + std::to_string(*key) + " is out of order: keys must ascend (line " +
                         std::to_string(prev.line) + " has " + std::to_string(prev.key) + ")");
        }
        std::string_view raw = l.substr(tab + 1);
        if (!raw.empty() && (raw.back() == ' ' || raw.back() == '\t'))
            Fail(file, line, "trailing white space (write a significant trailing space as \\x20)");
        std::string text = Unescape(raw, file, line);
        t.entries.push_back({static_cast<std::int32_t>(*key), Utf8ToUtf16(text, file, line), line});
    }
    return t;
}

void CheckRanges(const Table& t, const std::string& file) {
    if (t.expectedEntries && static_cast<std::int64_t>(t.entries.size()) != *t.expectedEntries)
        Fail(file, 0,
             "table has " + std::to_string(t.entries.size()) + " entries, @entries says " +
                 std::to_string(*t.expectedEntries));
    if (t.ranges.empty()) return;
    std::int64_t declared = 0;
    for (const Range& r : t.ranges) declared += r.last - r.first + 1;
    if (t.expectedEntries && declared != *t.expectedEntries)
        Fail(file, 0,
             "@ranges cover " + std::to_string(declared) + " keys, @entries says " +
                 std::to_string(*t.expectedEntries));
    // Both lists ascend, so one merge pass finds every stray key and every gap.
    std::size_t e = 0;
    for (const Range& r : t.ranges) {
        for (; e < t.entries.size() && t.entries[e].key < r.first; ++e)
            Fail(file, t.entries[e].line,
                 "key " + std::to_string(t.entries[e].key) + " lies outside every @ranges range");
        std::int64_t expected = r.first;
        std::vector<std::int64_t> missing;
        std::size_t count = 0;
        for (; e < t.entries.size() && t.entries[e].key <= r.last; ++e, ++count) {
            for (; expected < t.entries[e].key; ++expected) missing.push_back(expected);
            ++expected;
        }
        for (; expected <= r.last; ++expected) missing.push_back(expected);
        if (!missing.empty()) {
            std::string list;
            for (std::size_t i = 0; i < missing.size() && i < 10; ++i)
                list += (i ? ", " : "") + std::to_string(missing[i]);
            if (missing.size() > 10) list += ", ...";
            Fail(file, r.line,
                 "range " + std::to_string(r.first) + "-" + std::to_string(r.last) + " has " +
                     std::to_string(count) + " entries, expected " +
                     std::to_string(r.last - r.first + 1) + "; missing " + list);
        }
    }
    if (e < t.entries.size())
        Fail(file, t.entries[e].line,
             "key " + std::to_string(t.entries[e].key) + " lies outside every @ranges range");
}

void PutU32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string Encode(const Table& t, const std::string& file) {
    const std::uint64_t indexEnd = 8 + 12 * static_cast<std::uint64_t>(t.entries.size());
    std::uint64_t offset = indexEnd;
    std::string out = "STR0";
    PutU32(out, static_cast<std::uint32_t>(t.entries.size()));
    for (const Entry& e : t.entries) {
        if (offset + 2 * e.text.size() > std::numeric_limits<std::uint32_t>::max())
            Fail(file, e.line, "table exceeds 4 GiB");
        PutU32(out, static_cast<std::uint32_t>(e.key));
        PutU32(out, static_cast<std::uint32_t>(offset));
        PutU32(out, static_cast<std::uint32_t>(e.text.size()));
        offset += 2 * e.text.size();
    }
    for (const Entry& e : t.entries)
        for (char16_t u : e.text) {
            out += static_cast<char>(u & 0xFF);
            out += static_cast<char>(u >> 8);
        }
    return out;
}

// Writes through a temporary file so that a failed run never leaves a partial output
// that a later incremental build would take as up to date.
void WriteFile(const std::string& path, const std::string& data) {
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        out.close();
        if (!out) {
            std::remove(tmp.c_str());
            Fail(path, 0, "cannot write");
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        Fail(path, 0, "cannot replace the output file");
    }
}

int Compile(const std::string& input, const std::string& output) {
    Table t = Parse(input);
    CheckRanges(t, input);
    WriteFile(output, Encode(t, input));
    return 0;
}

bool IsResourceName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '_'))
            return false;
    return true;
}

int Embed(const std::string& output, const std::vector<std::string>& bindings) {
    std::ostringstream src;
    src << "// Generated by k419-str0c from the compiled string tables; do not edit.\n"
           "#include \"resources/EmbeddedResources.h\"\n\n"
           "namespace k419 {\nnamespace {\n\n";
    std::vector<std::pair<std::string, std::size_t>> blobs;
    for (const std::string& binding : bindings) {
        auto eq = binding.find('=');
        if (eq == std::string::npos || !IsResourceName(binding.substr(0, eq)))
            Fail(binding, 0, "expected NAME=file with NAME made of letters, digits and '_'");
        std::string name = binding.substr(0, eq);
        std::string path = binding.substr(eq + 1);
        std::string data = ReadFile(path);
        for (const auto& b : blobs)
            if (b.first == name) Fail(binding, 0, "resource " + name + " given twice");
        src << "// " << path.substr(path.find_last_of('/') + 1) << "\nconstexpr unsigned char k"
            << name << "[] = {";
        for (std::size_t i = 0; i < data.size(); ++i) {
            if (i % 16 == 0) src << "\n   ";
            src << ' ' << static_cast<unsigned>(static_cast<unsigned char>(data[i])) << ',';
        }
        // A zero-length array is ill-formed; the size below stays the true one.
        if (data.empty()) src << " 0";
        src << "\n};\n\n";
        blobs.emplace_back(name, data.size());
    }
    src << "constexpr EmbeddedResource kResources[] = {\n";
    for (const auto& [name, size] : blobs)
        src << "    {\"" << name << "\", \"#10\", k" << name << ", " << size << "},\n";
    if (blobs.empty()) src << "    {nullptr, nullptr, nullptr, 0},\n";
    src << "};\n\n"
           "bool SameText(const char* a, const char* b) {\n"
           "    for (;; ++a, ++b) {\n"
           "        char x = *a >= 'a' && *a <= 'z' ? static_cast<char>(*a - 32) : *a;\n"
           "        char y = *b >= 'a' && *b <= 'z' ? static_cast<char>(*b - 32) : *b;\n"
           "        if (x != y) return false;\n"
           "        if (x == 0) return true;\n"
           "    }\n"
           "}\n\n"
           "}  // namespace\n\n"
           "const EmbeddedResource* FindEmbeddedResource(const char* name, const char* type) {\n"
           "    if (name == nullptr || type == nullptr) return nullptr;\n"
           "    for (const EmbeddedResource& r : kResources)\n"
           "        if (r.name != nullptr && SameText(r.name, name) && SameText(r.type, type))\n"
           "            return &r;\n"
           "    return nullptr;\n"
           "}\n\n"
           "}  // namespace k419\n";
    WriteFile(output, src.str());
    return 0;
}

int Usage() {
    std::cerr << "usage: k419-str0c compile <table.txt> <table.str0>\n"
                 "       k419-str0c embed <out.cpp> <NAME>=<table.str0>...\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() == 3 && args[0] == "compile") return Compile(args[1], args[2]);
        if (args.size() >= 2 && args[0] == "embed")
            return Embed(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
        return Usage();
    } catch (const InputError& e) {
        std::cerr << "k419-str0c: " << e.what() << '\n';
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "k419-str0c: " << e.what() << '\n';
        return 1;
    }
}
