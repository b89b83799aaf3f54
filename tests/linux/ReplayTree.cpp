// SPDX-License-Identifier: MIT
#include "ReplayTree.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace TavReplay {

std::string DataDirectory() { return TAVDISK_LINUX_TEST_DATA; }

namespace {

std::string Trim(const std::string &s) {
    size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos)
        return {};
    size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

// Splits off the first whitespace-separated word.
std::string Word(std::string &rest) {
    rest = Trim(rest);
    size_t end = rest.find_first_of(" \t");
    std::string w = rest.substr(0, end);
    rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
    return w;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A "C string" (with escapes) or the rest of the line as it stands.
std::string Text(const std::string &raw) {
    std::string s = Trim(raw);
    if (s.empty() || s[0] != '"')
        return s;
    std::string out;
    size_t i = 1;
    for (; i < s.size() && s[i] != '"'; ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out.push_back(s[i]);
            continue;
        }
        char e = s[++i];
        switch (e) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case '0': out.push_back('\0'); break;
        case 'x': {
            int hi = i + 1 < s.size() ? HexDigit(s[i + 1]) : -1;
            int lo = i + 2 < s.size() ? HexDigit(s[i + 2]) : -1;
            if (hi < 0 || lo < 0)
                throw std::runtime_error("bad \\x escape in: " + raw);
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
            break;
        }
        default: out.push_back(e); break;
        }
    }
    if (i >= s.size())
        throw std::runtime_error("unterminated string: " + raw);
    return out;
}

std::string Hex(const std::string &text) {
    std::string out;
    int pending = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r')
            continue;
        int d = HexDigit(c);
        if (d < 0)
            throw std::runtime_error("bad hex: " + text);
        if (pending < 0) {
            pending = d;
        } else {
            out.push_back(static_cast<char>(pending * 16 + d));
            pending = -1;
        }
    }
    if (pending >= 0)
        throw std::runtime_error("odd hex digits: " + text);
    return out;
}

void WriteFile(const fs::path &p, const std::string &content, bool append) {
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out)
        throw std::runtime_error("cannot write " + p.string());
}

// key=value and key="quoted value" pairs; a bare key means "1".
std::map<std::string, std::string> Pairs(std::string rest) {
    std::map<std::string, std::string> out;
    while (!(rest = Trim(rest)).empty()) {
        size_t eq = rest.find_first_of("= \t");
        std::string key = rest.substr(0, eq);
        if (eq == std::string::npos || rest[eq] != '=') {
            out[key] = "1";
            rest = eq == std::string::npos ? "" : rest.substr(eq);
            continue;
        }
        rest = rest.substr(eq + 1);
        if (!rest.empty() && rest[0] == '"') {
            size_t close = rest.find('"', 1);
            if (close == std::string::npos)
                throw std::runtime_error("unterminated value for " + key);
            out[key] = rest.substr(1, close - 1);
            rest = rest.substr(close + 1);
        } else {
            size_t end = rest.find_first_of(" \t");
            out[key] = rest.substr(0, end);
            rest = end == std::string::npos ? "" : rest.substr(end);
        }
    }
    return out;
}

} // namespace

std::vector<uint8_t> MakeIdentify(const std::string &model, const std::string &serial, const std::string &firmware,
                                  uint64_t sectors, bool lba48, bool security, bool hdio) {
    uint16_t w[256] = {};
    auto text = [&](int first, int words, const std::string &s) {
        std::string padded = s;
        padded.resize(static_cast<size_t>(words) * 2, ' ');
        for (int i = 0; i < words; ++i) {
            auto a = static_cast<uint8_t>(padded[2 * i]), b = static_cast<uint8_t>(padded[2 * i + 1]);
            w[first + i] = hdio ? static_cast<uint16_t>(a | (b << 8)) : static_cast<uint16_t>((a << 8) | b);
        }
    };
    w[0] = 0x0040;
    w[1] = 16383;
    w[3] = 16;
    w[6] = 63;
    text(10, 10, serial);
    text(23, 4, firmware);
    text(27, 20, model);
    w[47] = 0x8010;
    w[49] = 0x2F00;
    w[53] = 0x0007;
    uint64_t small = sectors > 0x0FFFFFFF ? 0x0FFFFFFF : sectors;
    w[60] = static_cast<uint16_t>(small);
    w[61] = static_cast<uint16_t>(small >> 16);
    w[80] = 0x0FF0;
    w[82] = static_cast<uint16_t>(0x7469 | (security ? 0x0002 : 0));
    w[83] = static_cast<uint16_t>(0x7101 | (lba48 ? 0x0400 : 0));
    w[84] = 0x4163;
    w[85] = static_cast<uint16_t>(0x7469 | (security ? 0x0002 : 0));
    w[86] = static_cast<uint16_t>(0x3001 | (lba48 ? 0x0400 : 0));
    w[87] = 0x4163;
    if (security) {
        w[89] = 0x001E;
        w[90] = 0x00FF;
        w[128] = 0x0021;
    }
    if (lba48)
        for (int i = 0; i < 4; ++i)
            w[100 + i] = static_cast<uint16_t>(sectors >> (16 * i));
    w[106] = 0x6003;
    std::vector<uint8_t> bytes(512);
    for (int i = 0; i < 256; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(w[i]);
        bytes[2 * i + 1] = static_cast<uint8_t>(w[i] >> 8);
    }
    bytes[510] = 0xA5;
    uint8_t sum = 0;
    for (int i = 0; i < 511; ++i)
        sum = static_cast<uint8_t>(sum + bytes[i]);
    bytes[511] = static_cast<uint8_t>(-sum);
    return bytes;
}

Tree::Tree(const std::string &name) {
    std::string pattern = (fs::temp_directory_path() / "tavdisk-replay-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data()))
        throw std::runtime_error("mkdtemp failed");
    root_ = buffer.data();
    std::string source = DataDirectory() + "/" + name + ".tree";
    std::ifstream in(source);
    if (!in) {
        fs::remove_all(root_);
        throw std::runtime_error("cannot read " + source);
    }
    std::stringstream text;
    text << in.rdbuf();
    try {
        Apply(text.str(), source);
    } catch (...) {
        fs::remove_all(root_);
        throw;
    }
}

Tree::~Tree() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

std::string Tree::Path(const std::string &relative) const {
    std::string r = relative;
    while (!r.empty() && r[0] == '/')
        r.erase(0, 1);
    return root_ + "/" + r;
}

void Tree::Remove(const std::string &relative) const { fs::remove_all(Path(relative)); }

void Tree::Write(const std::string &relative, const std::string &content) const {
    fs::remove(Path(relative));
    WriteFile(Path(relative), content, false);
}

void Tree::Append(const std::string &relative, const std::string &content) const {
    WriteFile(Path(relative), content, true);
}

std::string Tree::Read(const std::string &relative) const {
    std::ifstream in(Path(relative), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void Tree::Apply(const std::string &manifest, const std::string &source) {
    std::istringstream lines(manifest);
    std::string line, lastBinary;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        std::string rest = line;
        if (Trim(rest).empty() || Trim(rest)[0] == '#')
            continue;
        try {
            std::string op = Word(rest);
            if (op == "+") {
                if (lastBinary.empty())
                    throw std::runtime_error("'+' without a binary file before it");
                WriteFile(Path(lastBinary), Hex(rest), true);
                continue;
            }
            std::string path = Word(rest);
            if (path.empty())
                throw std::runtime_error("missing path");
            lastBinary.clear();
            if (op == "d") {
                fs::create_directories(Path(path));
            } else if (op == "f") {
                WriteFile(Path(path), Text(rest) + "\n", false);
            } else if (op == "r") {
                WriteFile(Path(path), Text(rest), false);
            } else if (op == "a") {
                WriteFile(Path(path), Text(rest) + "\n", true);
            } else if (op == "x") {
                WriteFile(Path(path), Hex(rest), false);
                lastBinary = path;
            } else if (op == "l") {
                fs::path link = Path(path);
                fs::create_directories(link.parent_path());
                fs::remove(link);
                fs::create_symlink(Trim(rest), link);
            } else if (op == "m") {
                fs::path file = Path(path);
                fs::create_directories(file.parent_path());
                std::ofstream(file, std::ios::binary | std::ios::app).close();
                fs::resize_file(file, std::stoull(Trim(rest)));
            } else if (op == "w") {
                std::string offset = Word(rest);
                std::string bytes = Hex(rest);
                std::fstream file(Path(path), std::ios::binary | std::ios::in | std::ios::out);
                if (!file)
                    throw std::runtime_error("no file to write into");
                file.seekp(static_cast<std::streamoff>(std::stoull(offset)));
                file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            } else if (op == "identify") {
                auto kv = Pairs(rest);
                auto data = MakeIdentify(kv["model"], kv["serial"], kv["firmware"],
                                         kv.count("sectors") ? std::stoull(kv["sectors"]) : 0, kv.count("lba48") > 0,
                                         kv.count("security") > 0, kv.count("hdio") > 0);
                WriteFile(Path(path), std::string(data.begin(), data.end()), false);
            } else {
                throw std::runtime_error("unknown directive '" + op + "'");
            }
        } catch (const std::exception &e) {
            throw std::runtime_error(source + ":" + std::to_string(number) + ": " + e.what());
        }
    }
}

ScopedRoot::ScopedRoot(const std::string &root) {
    const char *old = std::getenv("TAVDISK_ROOT");
    had_ = old != nullptr;
    if (old)
        old_ = old;
    setenv("TAVDISK_ROOT", root.c_str(), 1);
}

ScopedRoot::~ScopedRoot() {
    if (had_)
        setenv("TAVDISK_ROOT", old_.c_str(), 1);
    else
        unsetenv("TAVDISK_ROOT");
}

} // namespace TavReplay
