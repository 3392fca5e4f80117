// The readers of the text files that tracking benchmarks use: box files, label files (absence
// flags, cover levels) and value files (per-frame times).
//
// They are the command line's fast path: no GIL, no Python object per line. A file is read
// from its path in pieces of 1 MiB, twice: a first pass counts the lines (or numbers) and
// refuses a NUL byte, or a piece without a line end (or separator) for over 1,000 characters,
// after reading no more than it must; the second parses into arrays of that size, refusing
// longer lines there. So reading a valid file costs its arrays and one piece, never the file's
// bytes on top, and what cannot be a text file of ours costs one piece at most. Each
// returns its numbers, or the line where the file stops being what it should be, with the text
// of that line (or token) for the package to word the message. The grammar matches what the
// package documents:
//
//   number: [+-]? (digits [. digits?] | . digits) ([eE] [+-]? digits)?   or   [+-]? nan
//   box line: 4 numbers (x, y, width, height) or 8 (a polygon, read as its bounding box),
//             separated by a comma (spaces or tabs around it allowed) or by spaces or tabs
//   code line (VOT results only): one of 0, 1, 2
//
// Lines end in LF or CRLF; a UTF-8 byte-order mark is skipped; blank lines at the end are
// ignored, any other blank line is an error. Every number must be finite as a float32 (1e39
// is not, nor 1e400, nor inf); NaN only as a whole line of NaN, a lost target.
#include "support.h"

#include <pybind11/numpy.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::python {
namespace {

// Doubles from here up round to infinity as float32: FLT_MAX plus half its unit in the last
// place, where the tie goes to the even neighbour, 2^128.
constexpr double kFloat32Limit = static_cast<double>(FLT_MAX) + 0x1p103;

// Why a file is refused. Nul, Long and Read are found before any number is parsed.
enum class Problem { None, Blank, Format, NotFinite, PartialNan, Range, Nul, Long, Changed, Read };

const char* problemName(Problem p) {
    switch (p) {
        case Problem::Blank:
            return "blank";
        case Problem::Format:
            return "format";
        case Problem::NotFinite:
            return "not_finite";
        case Problem::PartialNan:
            return "partial_nan";
        case Problem::Range:
            return "range";
        case Problem::Nul:
            return "nul";
        case Problem::Long:
            return "long";
        case Problem::Changed:
            return "changed";
        case Problem::Read:
            return "read";
        case Problem::None:
            break;
    }
    return "";
}

// A box line holds at most 8 numbers, a few dozen characters; a value file's number far fewer.
// Anything longer is no file of ours, and refusing it bounds what a piece must carry over.
constexpr size_t kLongest = 1000;
constexpr size_t kPiece = size_t{1} << 20;
// The text of a refused line or token kept for the message.
constexpr size_t kShown = 200;

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Reads one number at `p` by the grammar above; on success moves `p` past it. `problem` is
// NotFinite for a number that no float32 holds.
bool readNumber(const char*& p, const char* end, double& value, Problem& problem) {
    const char* s = p;
    bool negative = false;
    if (s < end && (*s == '+' || *s == '-')) negative = *s++ == '-';
    if (end - s >= 3 && (s[0] | 0x20) == 'n' && (s[1] | 0x20) == 'a' && (s[2] | 0x20) == 'n') {
        value = std::numeric_limits<double>::quiet_NaN();
        p = s + 3;
        return true;
    }
    // The digits are gathered into an integer on the way; unsigned, so that a long run of
    // digits wraps harmlessly (such a number takes the exact path below).
    const char* digits = s;
    uint64_t mantissa = 0;
    for (; s < end && isDigit(*s); ++s) mantissa = mantissa * 10 + static_cast<uint64_t>(*s - '0');
    const char* intEnd = s;
    const char* fracStart = s;
    if (s < end && *s == '.') {
        fracStart = ++s;
        for (; s < end && isDigit(*s); ++s) mantissa = mantissa * 10 + static_cast<uint64_t>(*s - '0');
    }
    const char* fracEnd = s;
    if (intEnd == digits && fracEnd == fracStart) return false;
    long exponent = 0;
    if (s < end && (*s == 'e' || *s == 'E')) {
        const char* e = s + 1;
        const bool down = e < end && *e == '-';
        if (e < end && (*e == '+' || *e == '-')) ++e;
        if (e == end || !isDigit(*e)) return false;
        for (; e < end && isDigit(*e); ++e) exponent = std::min(exponent * 10 + (*e - '0'), 1000000L);
        if (down) exponent = -exponent;
        s = e;
    }
    // Most numbers are short decimals: with at most 15 digits the mantissa is an exact double,
    // as is a power of ten up to 1e22, and one division rounds the quotient correctly, as
    // from_chars would.
    if (exponent == 0 && (intEnd - digits) + (fracEnd - fracStart) <= 15) {
        static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                             1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
        value = static_cast<double>(mantissa) / kPowers[fracEnd - fracStart];
        if (negative) value = -value;
        p = s;
        return true;  // below 1e15: finite as a float32
    }
    // from_chars takes no '+' and reads the rest exactly as Python's float() does.
    const auto [last, error] = std::from_chars(digits, s, value);
    if (last != s) return false;
    if (error == std::errc::result_out_of_range) {
        // Beyond a double: too large (1e400) is refused, too small reads as 0, as in Python.
        // The decimal order of the first significant digit tells which.
        const char* lead = std::find_if(digits, intEnd, [](char c) { return c != '0'; });
        long order = (intEnd - lead) - 1 + exponent;
        if (lead == intEnd) {
            const char* frac = std::find_if(fracStart, fracEnd, [](char c) { return c != '0'; });
            order = -(frac - fracStart) - 1 + exponent;
        }
        if (order > 0) {
            problem = Problem::NotFinite;
            return false;
        }
        value = 0.0;
    } else if (error != std::errc()) {
        return false;
    }
    if (negative) value = -value;
    if (!(std::fabs(value) < kFloat32Limit)) {
        problem = Problem::NotFinite;
        return false;
    }
    p = s;
    return true;
}

// Splits a line into at most `capacity` numbers; returns how many, 0 for a blank line, or -1
// when the line is not numbers separated as the grammar says (then `problem` tells why).
int readLine(std::string_view line, double* values, int capacity, Problem& problem) {
    const char* p = line.data();
    const char* end = p + line.size();
    while (p < end && isBlank(*p)) ++p;
    if (p == end) return 0;
    int n = 0;
    while (true) {
        if (n == capacity) return -1;
        if (!readNumber(p, end, values[n], problem)) return -1;
        ++n;
        const char* after = p;
        while (p < end && isBlank(*p)) ++p;
        if (p == end) return n;
        if (*p == ',') {
            ++p;
            while (p < end && isBlank(*p)) ++p;
        } else if (p == after) {
            return -1;  // no separator between two numbers
        }
    }
}

// Where a file stops being what it should be: the 1-based line, why, and the text shown.
struct Failure {
    size_t line = 0;
    Problem problem = Problem::None;
    std::string text;

    void set(size_t at, Problem why, std::string_view shown = {}) {
        line = at, problem = why;
        text.assign(shown.substr(0, kShown));
    }
};

// An open file, closed on every way out, with the buffer its passes share: a piece, or less for
// a small file (a piece cleared for every short file would cost more than reading it).
class File {
public:
    explicit File(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        struct stat st {};
        piece_ = kPiece;
        if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0)
            piece_ = std::min(kPiece, static_cast<size_t>(st.st_size) + 1);
        buffer_.reset(new char[piece_ + kLongest + 3]);
    }
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    int fd() const { return fd_; }
    char* buffer() const { return buffer_.get(); }
    size_t piece() const { return piece_; }

private:
    int fd_;
    size_t piece_;
    std::unique_ptr<char[]> buffer_;
};

bool isBoxCut(char c) { return c == '\n'; }
bool isValueCut(char c) { return c == '\n' || c == ',' || isBlank(c); }

// Reads `file` from its start in pieces and hands `take` the text in stretches that end at a cut
// (and the rest at the end, with `last` set); the bytes after a piece's last cut wait for the
// next piece, so no line (or number) is ever split. A UTF-8 byte-order mark is skipped. Stops
// when `take` returns false; refuses a stretch without a cut of over kLongest bytes (Long, or
// Nul when it holds a NUL byte) at `line` + 1, `line` being what `take` has counted so far.
template <class Take>
void readPieces(const File& file, bool (*isCut)(char), const size_t& line, Failure& failure, Take&& take) {
    if (::lseek(file.fd(), 0, SEEK_SET) < 0 && errno != ESPIPE) {
        failure.set(0, Problem::Read, std::strerror(errno));
        return;
    }
    char* const buffer = file.buffer();
    size_t kept = 0;
    bool start = true;
    while (true) {
        ssize_t n = 0;
        do n = ::read(file.fd(), buffer + kept, file.piece());
        while (n < 0 && errno == EINTR);
        if (n < 0) {
            failure.set(0, Problem::Read, std::strerror(errno));
            return;
        }
        size_t size = kept + static_cast<size_t>(n);
        if (start && (size >= 3 || n == 0)) {
            start = false;
            if (std::string_view(buffer, size).substr(0, 3) == "\xEF\xBB\xBF") {
                std::memmove(buffer, buffer + 3, size - 3);
                size -= 3;
            }
        }
        if (n == 0) {
            take(std::string_view(buffer, size), true);
            return;
        }
        if (start) {  // fewer than 3 bytes so far: the mark may still come
            kept = size;
            continue;
        }
        size_t end = size;
        while (end > 0 && !isCut(buffer[end - 1])) --end;
        if (!take(std::string_view(buffer, end), false)) return;
        if (size - end > kLongest) {
            const bool nul = std::memchr(buffer + end, 0, size - end) != nullptr;
            failure.set(line + 1, nul ? Problem::Nul : Problem::Long);
            return;
        }
        kept = size - end;
        std::memmove(buffer, buffer + end, kept);
    }
}

// The 1-based line of the first NUL byte in `text`, counting on from `line` lines, or 0.
size_t nulLine(std::string_view text, size_t line) {
    const size_t at = text.find('\0');
    if (at == std::string_view::npos) return 0;
    return line + 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + static_cast<long>(at), '\n'));
}

// The first pass over a box file: an upper bound of its number of lines (its line ends and
// one more), or why it is no box file. Counting runs at the speed of the reads.
size_t countBoxLines(const File& file, Failure& failure) {
    size_t lines = 0;
    readPieces(file, isBoxCut, lines, failure, [&](std::string_view text, bool) {
        if (const size_t at = nulLine(text, lines)) {
            failure.set(at, Problem::Nul);
            return false;
        }
        lines += static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
        return true;
    });
    return lines + 1;
}

// The second pass: the boxes (four per line) and kinds (per line: -1 a box, -2 a polygon, 0, 1
// or 2 a code) of every line, into arrays with room for `room` lines; returns the lines read.
size_t parseBoxFile(const File& file, bool allowCodes, size_t room, double* boxes, int8_t* codes,
                    Failure& failure) {
    constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
    size_t count = 0, line = 0, blank = 0;  // blank: the first of the blank lines met since the last box
    readPieces(file, isBoxCut, line, failure, [&](std::string_view text, bool) {
        size_t from = 0;
        while (from < text.size()) {
            size_t end = text.find('\n', from);
            const bool ended = end != std::string_view::npos;
            if (!ended) end = text.size();
            std::string_view content = text.substr(from, end - from);
            from = end + 1;
            ++line;
            if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
            if (content.size() > kLongest) {
                failure.set(line, Problem::Long);
                return false;
            }
            // Blank lines at the end are not frames; elsewhere they are an error.
            if (std::all_of(content.begin(), content.end(), [](char c) { return isBlank(c) || c == '\r'; })) {
                if (!blank) blank = line;
                if (!ended) break;
                continue;
            }
            if (blank) {
                failure.set(blank, Problem::Blank);
                return false;
            }
            if (count == room) {  // more lines than the first pass counted
                failure.set(line, Problem::Changed);
                return false;
            }
            double v[9];
            Problem problem = Problem::Format;
            const int n = readLine(content, v, 9, problem);
            if (n <= 0) {
                failure.set(line, problem, content);
                return false;
            }
            const int nans = static_cast<int>(std::count_if(v, v + n, [](double x) { return x != x; }));
            if (nans != 0 && nans != n) {
                failure.set(line, Problem::PartialNan, content);
                return false;
            }
            double* box = boxes + 4 * count;
            if (n == 4) {
                std::copy(v, v + 4, box);
                codes[count] = -1;
            } else if (n == 8) {
                const double x0 = std::min({v[0], v[2], v[4], v[6]}), x1 = std::max({v[0], v[2], v[4], v[6]});
                const double y0 = std::min({v[1], v[3], v[5], v[7]}), y1 = std::max({v[1], v[3], v[5], v[7]});
                box[0] = nans ? kNan : x0, box[1] = nans ? kNan : y0;
                box[2] = nans ? kNan : x1 - x0, box[3] = nans ? kNan : y1 - y0;
                codes[count] = -2;
            } else if (n == 1 && allowCodes && (v[0] == 0.0 || v[0] == 1.0 || v[0] == 2.0)) {
                std::fill(box, box + 4, kNan);
                codes[count] = static_cast<int8_t>(v[0]);
            } else {
                failure.set(line, Problem::Format, content);
                return false;
            }
            ++count;
            if (!ended) break;
        }
        return true;
    });
    return count;
}

// Numbers separated by commas, spaces, tabs or line ends (LF or CRLF). `visit(token, line)` gets
// each in turn and returns false to stop; a NUL byte stops the reading first.
template <class Visit>
void forEachValue(const File& file, Failure& failure, Visit&& visit) {
    size_t line = 0;  // line ends passed
    readPieces(file, isValueCut, line, failure, [&](std::string_view text, bool last) {
        if (const size_t at = nulLine(text, line)) {
            failure.set(at, Problem::Nul);
            return false;
        }
        size_t p = 0;
        while (p < text.size()) {
            const char c = text[p];
            if (c == '\n') {
                ++line;
                ++p;
                continue;
            }
            if (isBlank(c) || c == ',') {
                ++p;
                continue;
            }
            size_t stop = p;
            while (stop < text.size() && !isValueCut(text[stop])) ++stop;
            std::string_view token = text.substr(p, stop - p);
            // The CR of a CRLF line end.
            if (token.back() == '\r' && (stop == text.size() ? last : text[stop] == '\n')) token.remove_suffix(1);
            p = stop;
            if (!token.empty() && !visit(token, line + 1)) return false;
        }
        return true;
    });
}

// Reads one value token: false when it is not one finite number (`problem` says why).
bool readValue(std::string_view token, double& value, Problem& problem) {
    const char* p = token.data();
    const char* end = p + token.size();
    problem = Problem::Format;
    return readNumber(p, end, value, problem) && p == end && !std::isnan(value);
}

std::string pathOf(const py::bytes& path) { return std::string(path); }

py::tuple failureTuple(const Failure& f) {
    return py::make_tuple(f.line, problemName(f.problem), py::bytes(f.text));
}

py::tuple readBoxFile(const py::bytes& path, bool codes) {
    const std::string name = pathOf(path);
    Failure failure;
    size_t room = 0;
    std::unique_ptr<File> file;
    {
        py::gil_scoped_release release;
        file = std::make_unique<File>(name);
        if (file->fd() < 0)
            failure.set(0, Problem::Read, std::strerror(errno));
        else
            room = countBoxLines(*file, failure);
    }
    if (failure.problem != Problem::None) return py::make_tuple(py::none(), py::none(), failureTuple(failure));
    py::array_t<double> boxes({static_cast<py::ssize_t>(room), py::ssize_t{4}});
    py::array_t<int8_t> kinds(static_cast<py::ssize_t>(room));
    double* boxData = boxes.mutable_data();
    int8_t* kindData = kinds.mutable_data();
    size_t count = 0;
    {
        py::gil_scoped_release release;
        count = parseBoxFile(*file, codes, room, boxData, kindData, failure);
        file.reset();
    }
    if (failure.problem != Problem::None) return py::make_tuple(py::none(), py::none(), failureTuple(failure));
    const py::slice lines(0, static_cast<py::ssize_t>(count), 1);
    return py::make_tuple(boxes[lines], kinds[lines], py::none());
}

// Values as float64, or with top >= 0 whole numbers from 0 to top (labels, flags) as int8.
py::tuple readValueFile(const py::bytes& path, int top) {
    const std::string name = pathOf(path);
    Failure failure;
    size_t found = 0;
    std::unique_ptr<File> file;
    const auto refuse = [&](std::string_view token, size_t line, Problem why) {
        failure.set(line, why, token);
        return false;
    };
    {
        py::gil_scoped_release release;
        file = std::make_unique<File>(name);
        if (file->fd() < 0)
            failure.set(0, Problem::Read, std::strerror(errno));
        else
            forEachValue(*file, failure, [&](std::string_view, size_t) {
                ++found;
                return true;
            });
    }
    if (failure.problem != Problem::None) return py::make_tuple(py::none(), failureTuple(failure));
    py::array values = top >= 0 ? py::array(py::array_t<int8_t>(static_cast<py::ssize_t>(found)))
                                : py::array(py::array_t<double>(static_cast<py::ssize_t>(found)));
    void* data = values.mutable_data();
    size_t filled = 0;
    {
        py::gil_scoped_release release;
        forEachValue(*file, failure, [&](std::string_view token, size_t line) {
            double value = 0.0;
            Problem problem = Problem::None;
            if (filled == found) return refuse(token, line, Problem::Changed);
            if (!readValue(token, value, problem)) return refuse(token, line, problem);
            if (top >= 0 && !(value >= 0.0 && value <= top && value == std::floor(value)))
                return refuse(token, line, Problem::Range);
            if (top >= 0)
                static_cast<int8_t*>(data)[filled++] = static_cast<int8_t>(value);
            else
                static_cast<double*>(data)[filled++] = value;
            return true;
        });
        file.reset();
    }
    if (failure.problem == Problem::None && filled != found) failure.set(0, Problem::Changed);
    if (failure.problem != Problem::None) return py::make_tuple(py::none(), failureTuple(failure));
    return py::make_tuple(values, py::none());
}

}  // namespace

void bindBoxFiles(py::module_& m) {
    m.def("read_box_file", &readBoxFile, py::arg("path"), py::arg("codes") = false, R"pbdoc(
        Reads a box file (path as bytes): (boxes, kinds, None), or (None, None, (line, problem, text)).

        boxes is a (lines, 4) float64 array of x, y, width, height (a polygon line gives its
        bounding box, a code line NaN); kinds holds per line -1 for a box, -2 for a polygon, or
        the code 0, 1 or 2 (only with codes=True, for VOT results). problem is one of 'blank',
        'format', 'not_finite', 'partial_nan', 'nul', 'long', 'changed' and 'read'; line counts
        from 1 (0 for the whole file); text is the refused line (its start), or for 'read' the
        system's reason.
    )pbdoc");
    m.def("read_value_file", &readValueFile, py::arg("path"), py::arg("top") = -1, R"pbdoc(
        Reads numbers separated by commas, spaces, tabs or line ends (path as bytes): (values,
        None) with a float64 array, or with top >= 0 an int8 array of whole numbers from 0 to top;
        or (None, (line, problem, token)) for the first token that is not one. problem is 'format',
        'not_finite', 'range' (not a whole number from 0 to top), 'nul', 'long', 'changed' or 'read'.
    )pbdoc");
}

}  // namespace velmora::python
