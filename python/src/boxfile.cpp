// The readers of the text files that tracking benchmarks use: box files, label files (absence
// flags, cover levels) and value files (per-frame times).
//
// They are the command line's fast path: one pass over the bytes, no GIL, no Python object
// per line. Each returns its numbers, or the line (and token) where the file stops being what
// it should be; the package then re-reads that line to word the message. The grammar matches
// what the package documents:
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

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

namespace velmora::python {
namespace {

// Doubles from here up round to infinity as float32: FLT_MAX plus half its unit in the last
// place, where the tie goes to the even neighbour, 2^128.
constexpr double kFloat32Limit = static_cast<double>(FLT_MAX) + 0x1p103;

enum class Problem { None, Blank, Format, NotFinite, PartialNan };

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
        case Problem::None:
            break;
    }
    return "";
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The lines of a text, each without its line end, trailing blank lines dropped.
class Lines {
public:
    explicit Lines(std::string_view text) : rest_(text) {
        if (rest_.substr(0, 3) == "\xEF\xBB\xBF") rest_.remove_prefix(3);
        // Blank lines at the end are not frames.
        size_t end = rest_.size();
        while (end > 0) {
            const size_t start = rest_.rfind('\n', end - 1);
            const size_t from = start == std::string_view::npos ? 0 : start + 1;
            if (!std::all_of(rest_.begin() + from, rest_.begin() + end, [](char c) { return isBlank(c) || c == '\r'; }))
                break;
            end = start == std::string_view::npos ? 0 : start;
        }
        rest_ = rest_.substr(0, end);
        done_ = rest_.empty();
    }

    bool next(std::string_view& line) {
        if (done_) return false;
        const size_t end = rest_.find('\n');
        line = rest_.substr(0, end);
        if (end == std::string_view::npos)
            done_ = true;
        else
            rest_.remove_prefix(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        ++number_;
        return true;
    }

    size_t number() const { return number_; }

private:
    std::string_view rest_;
    bool done_ = false;
    size_t number_ = 0;
};

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

// Where a box file stops being one: the 1-based line, and why.
struct Failure {
    size_t line = 0;
    Problem problem = Problem::None;
};

// Reads the lines of `text` into `boxes` (four per line) and `codes` (per line: -1 a box, -2 a
// polygon, 0, 1 or 2 a code), which hold room for every line; returns the number of lines.
size_t parseBoxText(std::string_view text, bool allowCodes, double* boxes, int8_t* codes, Failure& failure) {
    constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
    Lines lines(text);
    std::string_view line;
    double v[9];
    size_t count = 0;
    while (lines.next(line)) {
        Problem problem = Problem::Format;
        const int n = readLine(line, v, 9, problem);
        if (n <= 0) {
            failure = {lines.number(), n == 0 ? Problem::Blank : problem};
            return count;
        }
        const int nans = static_cast<int>(std::count_if(v, v + n, [](double x) { return x != x; }));
        if (nans != 0 && nans != n) {
            failure = {lines.number(), Problem::PartialNan};
            return count;
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
            failure = {lines.number(), Problem::Format};
            return count;
        }
        ++count;
    }
    return count;
}

// Numbers separated by commas, spaces, tabs or line ends, with the line and text of the first
// token that is not one.
struct ValueText {
    std::vector<double> values;
    size_t failedLine = 0;
    std::string failedToken;
};

ValueText parseValueText(std::string_view text) {
    ValueText result;
    Lines lines(text);
    std::string_view line;
    while (lines.next(line)) {
        const char* p = line.data();
        const char* end = p + line.size();
        while (p < end) {
            if (isBlank(*p) || *p == ',') {
                ++p;
                continue;
            }
            const char* start = p;
            double value = 0.0;
            Problem problem = Problem::None;
            const bool ok = readNumber(p, end, value, problem);
            if (!ok || (p < end && !isBlank(*p) && *p != ',') || std::isnan(value)) {
                const char* stop = start;
                while (stop < end && !isBlank(*stop) && *stop != ',') ++stop;
                result.failedLine = lines.number();
                result.failedToken.assign(start, stop);
                return result;
            }
            result.values.push_back(value);
        }
    }
    return result;
}

std::string_view bytesView(const py::bytes& data) {
    char* buffer = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data.ptr(), &buffer, &size) != 0) throw py::error_already_set();
    return std::string_view(buffer, static_cast<size_t>(size));
}

py::tuple parseBoxes(const py::bytes& data, bool codes) {
    const std::string_view bytes = bytesView(data);
    // Room for every line, filled without the GIL and without a copy.
    const auto room = static_cast<py::ssize_t>(std::count(bytes.begin(), bytes.end(), '\n') + 1);
    py::array_t<double> boxes({room, py::ssize_t{4}});
    py::array_t<int8_t> kinds(room);
    double* boxData = boxes.mutable_data();
    int8_t* kindData = kinds.mutable_data();
    Failure failure;
    size_t count = 0;
    {
        py::gil_scoped_release release;  // `data` keeps the bytes alive
        count = parseBoxText(bytes, codes, boxData, kindData, failure);
    }
    if (failure.problem != Problem::None)
        return py::make_tuple(py::none(), py::none(), py::make_tuple(failure.line, problemName(failure.problem)));
    const py::slice lines(0, static_cast<py::ssize_t>(count), 1);
    return py::make_tuple(boxes[lines], kinds[lines], py::none());
}

py::tuple parseValues(const py::bytes& data) {
    const std::string_view bytes = bytesView(data);
    ValueText text;
    {
        py::gil_scoped_release release;
        text = parseValueText(bytes);
    }
    if (text.failedLine)
        return py::make_tuple(py::none(), py::make_tuple(text.failedLine, py::bytes(text.failedToken)));
    py::array_t<double> values(static_cast<py::ssize_t>(text.values.size()));
    std::copy(text.values.begin(), text.values.end(), values.mutable_data());
    return py::make_tuple(values, py::none());
}

}  // namespace

void bindBoxFiles(py::module_& m) {
    m.def("parse_boxes", &parseBoxes, py::arg("data"), py::arg("codes") = false, R"pbdoc(
        Reads the bytes of a box file: (boxes, kinds, None), or (None, None, (line, problem)).

        boxes is a (lines, 4) float64 array of x, y, width, height (a polygon line gives its
        bounding box, a code line NaN); kinds holds per line -1 for a box, -2 for a polygon, or
        the code 0, 1 or 2 (only with codes=True, for VOT results). problem is one of 'blank',
        'format', 'not_finite' and 'partial_nan'; line counts from 1.
    )pbdoc");
    m.def("parse_values", &parseValues, py::arg("data"), R"pbdoc(
        Reads numbers separated by commas, spaces, tabs or line ends: (values, None) with a
        float64 array, or (None, (line, token)) for the first token that is not a finite number.
    )pbdoc");
}

}  // namespace velmora::python
