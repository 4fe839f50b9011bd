#include "signal/gnl.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

#include "core/error.hpp"
#include "core/mat3.hpp"
#include "core/text.hpp"
#include "signal/motion.hpp"

namespace quorvel::gnl {
namespace {

using Mat3 = std::array<double, 9>;  // row-major

// The normalisation of a term takes (l + m)! as a float64 product, up to (2l)! at m = l; 170! is
// the largest finite one, so l = 85 is the last degree whose every order evaluates finitely
// (and the Legendre recurrence stays short).
constexpr std::uint32_t kMaxDegree = 85;

// ---- text helpers ----

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A plain decimal number: optional sign, digits with an optional fraction, optional exponent.
// Infinities, NaN and values beyond the float64 range are refused; values too small for it
// read as zero, as any decimal reader rounds them.
std::optional<double> parse_decimal(std::string_view s) {
    std::size_t i = 0;
    const bool negative = i < s.size() && s[i] == '-';
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    // Decimal exponent of the leading non-zero digit, to tell underflow from overflow.
    long long lead = 0;
    bool seen_nonzero = false;
    std::size_t digits = 0;
    for (; i < s.size() && is_digit(s[i]); ++i, ++digits) {
        if (seen_nonzero) ++lead;
        seen_nonzero = seen_nonzero || s[i] != '0';
    }
    if (i < s.size() && s[i] == '.') {
        for (++i; i < s.size() && is_digit(s[i]); ++i, ++digits) {
            if (!seen_nonzero) --lead;
            seen_nonzero = seen_nonzero || s[i] != '0';
        }
    }
    if (digits == 0) return std::nullopt;
    long long exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        const bool exp_negative = i < s.size() && s[i] == '-';
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t exp_digits = 0;
        // Saturates far beyond the float64 range, which keeps the sign and avoids overflow.
        for (; i < s.size() && is_digit(s[i]); ++i, ++exp_digits)
            exponent = std::min(exponent * 10 + (s[i] - '0'), 1000000LL);
        if (exp_digits == 0) return std::nullopt;
        if (exp_negative) exponent = -exponent;
    }
    if (i != s.size()) return std::nullopt;
    // from_chars takes no leading '+'; the grammar is checked above, so it reads everything.
    std::string_view body = s.substr(s[0] == '+' ? 1 : 0);
    double v = 0.0;
    auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), v);
    if (ec == std::errc::result_out_of_range && lead + exponent < 0) return negative ? -0.0 : 0.0;
    if (ec != std::errc() || end != body.data() + body.size()) return std::nullopt;
    return v;
}

// Decimal integer with an optional sign; none when malformed or outside [lo, hi].
std::optional<long long> parse_int(std::string_view s, long long lo, long long hi, bool allow_minus) {
    std::size_t i = 0;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || (allow_minus && s[i] == '-'))) neg = s[i++] == '-';
    if (i == s.size()) return std::nullopt;
    long long v = 0;
    for (; i < s.size(); ++i) {
        if (!is_digit(s[i])) return std::nullopt;
        v = v * 10 + (s[i] - '0');
        if (v > hi + 1) return std::nullopt;  // keeps v far from overflow; hi + 1 covers -lo
    }
    if (neg) v = -v;
    if (v < lo || v > hi) return std::nullopt;
    return v;
}

// A UTF-8 character boundary: the end of the text or a byte that is not a continuation byte.
bool char_boundary(std::string_view s, std::size_t i) {
    return i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80;
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        std::size_t len;
        std::uint32_t cp;
        if (b0 < 0x80) {
            ++i;
            continue;
        } else if ((b0 & 0xE0) == 0xC0) {
            len = 2, cp = b0 & 0x1Fu;
        } else if ((b0 & 0xF0) == 0xE0) {
            len = 3, cp = b0 & 0x0Fu;
        } else if ((b0 & 0xF8) == 0xF0) {
            len = 4, cp = b0 & 0x07u;
        } else {
            return false;
        }
        if (i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (b & 0x3Fu);
        }
        static constexpr std::uint32_t min_cp[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_cp[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

// printf-style formatting appended to out, at whatever length it takes (fixed notation of a
// large coefficient runs to hundreds of digits).
template <class... Args>
void append_format(std::string& out, const char* format, Args... args) {
    const int n = std::snprintf(nullptr, 0, format, args...);
    QV_ASSERT(n >= 0, "coefficient text could not be formatted");
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(n) + 1);
    std::snprintf(out.data() + at, static_cast<std::size_t>(n) + 1, format, args...);
    out.resize(at + static_cast<std::size_t>(n));
}

// Coefficient files are a few kB. Reading stops one byte past this limit, so that a huge file,
// a device such as /dev/zero or a pipe that never ends is refused instead of filling memory.
constexpr std::size_t kMaxFileBytes = std::size_t{1} << 20;

// Closes a descriptor on every way out, an exception from the interrupt hook included.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// The whole file as text; the error description when it cannot be read. A pipe or a slow file
// system may be interrupted by a signal: the call is then made again once on_interrupt() has
// returned (an exception it throws ends the read), as the interpreter does for its own reads.
std::optional<std::string> read_file(const std::string& path, std::string& error,
                                     const std::function<void()>& on_interrupt) {
    auto retried = [&](auto call) {
        for (;;) {
            const auto r = call();
            if (r >= 0 || errno != EINTR) return r;
            if (on_interrupt) on_interrupt();
        }
    };
    const Descriptor file{retried([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); })};
    if (file.fd < 0) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    // Read straight into the text, in chunks that grow it: a buffer of that size on the stack
    // overflows the small stacks a Python thread may be given (threading.stack_size, 32 KiB).
    constexpr std::size_t kChunk = std::size_t{1} << 16;
    std::string text;
    std::size_t size = 0;
    while (size <= kMaxFileBytes) {
        text.resize(size + std::min(kChunk, kMaxFileBytes + 1 - size));
        const ssize_t got = retried([&] { return ::read(file.fd, text.data() + size, text.size() - size); });
        if (got < 0) {
            error = std::strerror(errno);
            return std::nullopt;
        }
        if (got == 0) break;
        size += static_cast<std::size_t>(got);
    }
    text.resize(size);
    if (text.size() > kMaxFileBytes) {
        error = "larger than " + std::to_string(kMaxFileBytes) + " bytes, the limit for a coefficient file";
        return std::nullopt;
    }
    if (!valid_utf8(text)) {
        error = "stream did not contain valid UTF-8";
        return std::nullopt;
    }
    return text;
}

// ---- 3x3 algebra ----

using mat3::linear_part;
using mat3::mul;

// A^-1 as a matrix (adjugate over the determinant); the caller has checked det.
Mat3 inverse3(const Mat3& a, double det) {
    Mat3 inv = mat3::adjugate(a);
    for (double& x : inv) x /= det;
    return inv;
}

Vec3 translation(const std::array<double, 16>& affine) { return {affine[3], affine[7], affine[11]}; }

double integer_power(double x, std::uint32_t n) {
    double result = 1.0;
    while (n > 0) {
        if (n & 1u) result *= x;
        x *= x;
        n >>= 1;
    }
    return result;
}

// Sums the solid harmonics of a coefficient set at one point. Built once per set: the
// normalisations are fixed, and terms sharing an order m share one Legendre recurrence
// (the recurrence for P(l, m) passes through every lower degree of the same order), so an
// evaluation costs one recurrence per distinct order up to its largest degree.
class HarmonicSum {
public:
    explicit HarmonicSum(const GradCoef& coef) : coef_(coef), norm_(coef.terms.size()), value_(coef.terms.size()) {
        for (std::size_t t = 0; t < coef.terms.size(); ++t) {
            const GnlTerm& term = coef.terms[t];
            if (term.m <= term.l) order_.push_back(t);  // P(l, m) vanishes for m > l
            norm_[t] = normalisation(term.l, term.m);
        }
        std::sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) {
            const GnlTerm &x = coef.terms[a], &y = coef.terms[b];
            return x.m != y.m ? x.m < y.m : x.l < y.l;
        });
    }

    Vec3 operator()(const Vec3& p) {
        const double x = p[0], y = p[1], z = p[2];
        const double r = std::sqrt(x * x + y * y + z * z);
        if (r < 1e-9) return {0.0, 0.0, 0.0};
        const double phi = std::atan2(y, x);
        const double c = std::clamp(z / r, -1.0, 1.0);
        const double rho = r / coef_.r0_mm;
        const double s2 = std::fmax(1.0 - c * c, 0.0);
        const double s = std::sqrt(s2);

        std::fill(value_.begin(), value_.end(), 0.0);
        // Walk the terms by (m, l), carrying the recurrence (P(n-2), P(n-1) at degree n-1).
        std::size_t i = 0;
        while (i < order_.size()) {
            const std::uint32_t m = coef_.terms[order_[i]].m;
            double pmm = 1.0;
            for (std::uint32_t k = 1; k <= m; ++k) pmm *= -(2.0 * k - 1.0) * s;
            const double az_cos = std::cos(m * phi), az_sin = std::sin(m * phi);
            double p_prev = 0.0, p_cur = pmm;  // P(n-1, m), P(n, m) with n = m
            std::uint32_t n = m;
            for (; i < order_.size() && coef_.terms[order_[i]].m == m; ++i) {
                const std::size_t t = order_[i];
                const GnlTerm& term = coef_.terms[t];
                while (n < term.l) {
                    // P(d, m) from the two degrees below it, d = n + 1.
                    const std::uint64_t d = std::uint64_t{n} + 1;
                    const double next = n == m ? (2.0 * m + 1.0) * c * pmm
                                               : (static_cast<double>(2 * d - 1) * c * p_cur -
                                                  static_cast<double>(d + m - 1) * p_prev) /
                                                     static_cast<double>(d - m);
                    p_prev = p_cur;
                    p_cur = next;
                    ++n;
                }
                const double az = term.sine ? az_sin : az_cos;
                value_[t] = az * integer_power(rho, term.l) * term.coef * coef_.r0_mm * norm_[t] * p_cur;
            }
        }
        // Summed in term order, as the set lists them.
        Vec3 d{0.0, 0.0, 0.0};
        for (std::size_t t = 0; t < coef_.terms.size(); ++t) d[coef_.terms[t].axis] += value_[t];
        return d;
    }

private:
    static double normalisation(std::uint32_t l, std::uint32_t m) {
        if (m == 0 || m > l) return 1.0;
        double lo = 1.0, hi = 1.0;  // (l - m)!, (l + m)!
        for (std::uint32_t k = 2; k <= l - m; ++k) lo *= k;
        for (std::uint32_t k = 2; k <= l + m; ++k) hi *= k;
        const double n = std::sqrt((2.0 * l + 1.0) * lo / (2.0 * hi));
        return m % 2 == 1 ? -n : n;
    }

    const GradCoef& coef_;
    std::vector<std::size_t> order_;  // terms with m <= l, by (m, l)
    std::vector<double> norm_;
    std::vector<double> value_;  // per-term contribution of the current point
};

// The world-frame displacement: the scanner frame flips x and z (q = (-wx, wy, -wz)).
Vec3 world_displacement(HarmonicSum& sum, const Vec3& w) {
    const Vec3 s = sum({-w[0], w[1], -w[2]});
    return {-s[0], s[1], -s[2]};
}

// Jacobian of phi(w) = w + D(w) by central differences with step h along each world axis.
Mat3 jacobian(HarmonicSum& sum, const Vec3& w, double h) {
    Mat3 j{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
    for (int c = 0; c < 3; ++c) {
        Vec3 plus = w, minus = w;
        plus[c] += h;
        minus[c] -= h;
        const Vec3 dp = world_displacement(sum, plus), dm = world_displacement(sum, minus);
        for (int r = 0; r < 3; ++r) j[3 * r + c] += (dp[r] - dm[r]) / (2.0 * h);
    }
    return j;
}

}  // namespace

// ---- coefficient sets ----

GradCoef GradCoef::parse_siemens(std::string_view text) {
    GradCoef out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        std::string_view line = text.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
        start = nl == std::string_view::npos ? text.size() : nl + 1;
        if (nl != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);

        if (line.find("= R0") != std::string_view::npos) {
            // The radius stands in the five characters after the first (metres).
            std::string_view field;
            if (line.size() >= 6 && char_boundary(line, 1) && char_boundary(line, 6)) field = line.substr(1, 5);
            auto r0 = parse_decimal(trim(field));
            if (!r0) throw InvalidInput("bad R0 line: " + debug_str(line));
            out.r0_mm = *r0 * 1000.0;
            // Every displacement divides by the radius: zero, negative or infinite radii make
            // NaN fields that blank every warped image.
            if (!(out.r0_mm > 0.0) || !std::isfinite(out.r0_mm))
                throw InvalidInput("R0 must be positive and finite: " + debug_str(line));
            continue;
        }

        const std::size_t open = line.find('('), comma = line.find(','), close = line.find(')');
        if (open == std::string_view::npos || comma == std::string_view::npos || close == std::string_view::npos)
            continue;
        if (open < 3 || open > 9 || comma < open || close < comma) continue;
        auto l = parse_int(trim(line.substr(open + 1, comma - open - 1)), 0, 4294967295LL, false);
        if (!l) throw InvalidInput("bad l in " + debug_str(line));
        auto m = parse_int(trim(line.substr(comma + 1, close - comma - 1)), -2147483648LL, 2147483647LL, true);
        if (!m) throw InvalidInput("bad m in " + debug_str(line));
        std::string_view rest = line.substr(close + 1);
        while (!rest.empty() && is_space(rest.back())) rest.remove_suffix(1);
        if (rest.empty()) continue;
        const char letter = rest.back();
        if (letter != 'x' && letter != 'y' && letter != 'z') continue;
        auto coef = parse_decimal(trim(rest.substr(0, rest.size() - 1)));
        if (!coef) throw InvalidInput("bad coefficient in " + debug_str(line));
        const auto degree = static_cast<std::uint32_t>(*l);
        const auto order = static_cast<std::uint32_t>(*m < 0 ? -*m : *m);
        if (degree > kMaxDegree)
            throw InvalidInput("degree " + std::to_string(degree) + " exceeds the largest supported degree " +
                               std::to_string(kMaxDegree) + " in " + debug_str(line));
        // A solid harmonic of order above its degree does not exist; refusing it keeps the
        // evaluation defined.
        if (order > degree)
            throw InvalidInput("order " + std::to_string(order) + " exceeds degree " + std::to_string(degree) +
                               " in " + debug_str(line));
        if (degree == 1) continue;  // the linear terms are the nominal gradient itself
        const auto axis = static_cast<std::uint8_t>(letter - 'x');
        out.terms.push_back({*coef, degree, order, axis, axis == 1});
    }
    if (out.terms.empty()) throw InvalidInput("no coefficient lines found");
    return out;
}

GradCoef GradCoef::preset(bool high_gradient) {
    const double s = high_gradient ? 2.5 : 1.0;
    GradCoef c;
    c.r0_mm = 250.0;
    // The x and y sets share their harmonics (y with sine azimuth); z has only zonal terms.
    const struct {
        std::uint32_t l, m;
        double coef;
    } transverse[] = {{3, 1, -0.08}, {3, 3, 0.006}, {5, 1, 0.01}, {5, 5, -0.001}, {7, 1, -0.001}};
    for (std::uint8_t axis : {std::uint8_t{0}, std::uint8_t{1}})
        for (const auto& t : transverse) c.terms.push_back({t.coef * s, t.l, t.m, axis, axis == 1});
    c.terms.push_back({-0.1 * s, 3, 0, 2, false});
    c.terms.push_back({0.015 * s, 5, 0, 2, false});
    c.terms.push_back({-0.002 * s, 7, 0, 2, false});
    return c;
}

GradCoef GradCoef::from_spec(const std::string& spec, const std::function<void()>& on_interrupt) {
    if (spec == "whole-body-80") return preset(false);
    if (spec == "connectom-300") return preset(true);
    // The file system would read the path only up to the NUL, which names another file.
    if (spec.find('\0') != std::string::npos)
        throw InvalidInput("cannot read coefficient file " + spec + ": embedded null byte");
    std::string error;
    auto text = read_file(spec, error, on_interrupt);
    if (!text) throw InvalidInput("cannot read coefficient file " + spec + ": " + error);
    try {
        return parse_siemens(*text);
    } catch (const InvalidInput& e) {
        throw InvalidInput(spec + ": " + e.text());
    }
}

std::string GradCoef::write_siemens() const {
    std::string out = " Synthetic gradient coefficients - Quorvel GNL\n";
    append_format(out, " %.3f = R0\n\n", r0_mm / 1000.0);
    static const char axes[] = {'x', 'y', 'z'};
    for (std::size_t i = 0; i < terms.size(); ++i) {
        const GnlTerm& t = terms[i];
        if (std::isnan(t.coef))  // printf would write "nan" or "-nan"
            append_format(out, "%3zu A(%2u,%2u) NaN %c\n", i + 1, t.l, t.m, axes[t.axis]);
        else
            append_format(out, "%3zu A(%2u,%2u) %.6f %c\n", i + 1, t.l, t.m, t.coef, axes[t.axis]);
    }
    return out + "\n";
}

GradCoef GradCoef::scaled(double s) const {
    // A non-finite coefficient makes a non-finite field, which blanks every warped image.
    std::string message;
    if (!std::isfinite(s)) append_format(message, "scale must be finite: %g", s);
    GradCoef out = *this;
    for (std::size_t i = 0; i < out.terms.size() && message.empty(); ++i) {
        if (!std::isfinite(out.terms[i].coef * s))
            append_format(message, "scaled coefficient must be finite: term %zu, %g x %g", i + 1, out.terms[i].coef, s);
        out.terms[i].coef *= s;
    }
    if (!message.empty()) throw InvalidInput(message);
    return out;
}

Vec3 GradCoef::displacement_scanner(const Vec3& p) const {
    HarmonicSum sum(*this);
    return sum(p);
}

// ---- the field on a grid ----

GnlField GnlField::on_grid(const GradCoef& coef, const raster::Grid& grid) {
    raster::check_affine(grid.affine);
    const Mat3 a = linear_part(grid.affine);
    const Vec3 t = translation(grid.affine);
    const double det = mat3::det(a);
    const Mat3 a_inv = inverse3(a, det);

    GnlField f;
    f.dims = grid.dims;
    const std::size_t nvox = grid.nvox();
    f.disp.resize(nvox * 3);
    f.jac.resize(nvox * 9);
    f.src_vox.resize(nvox * 3);
    f.modulation.resize(nvox);
    if (nvox == 0) return f;

    // A quarter voxel along i: small against the field's curvature, large against rounding.
    const double h = 0.25 * std::fmax(std::sqrt(a[0] * a[0] + a[3] * a[3] + a[6] * a[6]), 1e-6);
    HarmonicSum sum(coef);
    std::size_t v = 0;
    for (std::size_t k = 0; k < grid.dims[2]; ++k)
        for (std::size_t j = 0; j < grid.dims[1]; ++j)
            for (std::size_t i = 0; i < grid.dims[0]; ++i, ++v) {
                Vec3 w = mul(a, {static_cast<double>(i), static_cast<double>(j), static_cast<double>(k)});
                for (int c = 0; c < 3; ++c) w[c] += t[c];
                const Vec3 d = world_displacement(sum, w);
                const Mat3 jw = jacobian(sum, w, h);
                // Fixed-point inverse phi^-1(w): converges fast where the displacement varies
                // slowly; a fixed count keeps the cost per voxel constant.
                Vec3 p = w, dp{};
                for (int it = 0; it < 8; ++it) {
                    dp = world_displacement(sum, p);
                    for (int c = 0; c < 3; ++c) p[c] = w[c] - dp[c];
                }
                // A^-1 (p - t) as the voxel's own coordinates plus A^-1 (p - w), with p - w = -dp:
                // the same map, but exact where nothing is displaced. Through w and back, an oblique
                // affine rounds a face plane to -1e-16, which the sampler reads as outside the grid.
                const Vec3 back = mul(a_inv, {-dp[0], -dp[1], -dp[2]});
                const Vec3 src{static_cast<double>(i) + back[0], static_cast<double>(j) + back[1],
                               static_cast<double>(k) + back[2]};
                const double det_p = mat3::det(jacobian(sum, p, h));
                for (int c = 0; c < 3; ++c) {
                    f.disp[3 * v + c] = static_cast<float>(d[c]);
                    f.src_vox[3 * v + c] = static_cast<float>(src[c]);
                }
                for (int e = 0; e < 9; ++e) f.jac[9 * v + e] = static_cast<float>(jw[e]);
                // A set whose field overflows (a huge coefficient or scale, a tiny R0) would blank
                // every warped image and make every signal under it NaN.
                const auto finite = [](float x) { return std::isfinite(x); };
                if (!std::all_of(&f.disp[3 * v], &f.disp[3 * v] + 3, finite) ||
                    !std::all_of(&f.jac[9 * v], &f.jac[9 * v] + 9, finite))
                    throw InvalidInput("the field must be finite: its displacement or Jacobian overflows at voxel " +
                                       debug_list(std::array<std::size_t, 3>{i, j, k}));
                // fmax ignores a NaN determinant (a diverged inverse map): the factor is then 1e6
                // on a voxel whose source is NaN, which samples 0, instead of NaN.
                f.modulation[v] = static_cast<float>(1.0 / std::fmax(std::abs(det_p), 1e-6));
            }
    return f;
}

namespace {

// Pulls every voxel of out through the inverse map; vol and out hold nvox values each.
void warp_into(const GnlField& f, std::span<const float> vol, std::span<float> out, bool modulate) {
    for (std::size_t v = 0; v < out.size(); ++v) {
        const std::array<double, 3> p{f.src_vox[3 * v], f.src_vox[3 * v + 1], f.src_vox[3 * v + 2]};
        const float s = motion::trilinear(vol, f.dims, p);
        out[v] = modulate ? s * f.modulation[v] : s;
    }
}

}  // namespace

std::vector<float> GnlField::warp_volume(std::span<const float> vol, bool modulate) const {
    QV_ASSERT(vol.size() == nvox(), "volume is not on the field's grid");
    std::vector<float> out(nvox());
    warp_into(*this, vol, out, modulate);
    return out;
}

std::vector<float> GnlField::warp_4d(std::span<const float> vol, std::size_t ngrad, bool modulate) const {
    const std::size_t n = nvox();
    QV_ASSERT(vol.size() == n * ngrad, "4-D image is not on the field's grid");
    // Without values there is nothing to warp, however many volumes an empty grid is said to hold.
    if (vol.empty()) return {};
    std::vector<float> out(n * ngrad);
    std::vector<float> in_g(n), out_g(n);
    for (std::size_t g = 0; g < ngrad; ++g) {
        for (std::size_t v = 0; v < n; ++v) in_g[v] = vol[v * ngrad + g];
        warp_into(*this, in_g, out_g, modulate);
        for (std::size_t v = 0; v < n; ++v) out[v * ngrad + g] = out_g[v];
    }
    return out;
}

std::vector<float> GnlField::graddev_volumes(const std::array<double, 16>& affine) const {
    Mat3 r = linear_part(affine);
    for (int c = 0; c < 3; ++c) {
        const double len = std::fmax(std::sqrt(r[c] * r[c] + r[3 + c] * r[3 + c] + r[6 + c] * r[6 + c]), 1e-12);
        for (int row = 0; row < 3; ++row) r[3 * row + c] /= len;
    }
    const double det = mat3::det(r);
    if (!(std::abs(det) >= 1e-18)) throw InvalidInput("affine rotation is singular");
    const Mat3 r_inv = inverse3(r, det);
    const std::size_t n = nvox();
    std::vector<float> out(n * 9);
    for (std::size_t v = 0; v < n; ++v) {
        Mat3 jr{};  // J * R
        for (int i = 0; i < 3; ++i)
            for (int c = 0; c < 3; ++c) {
                double s = 0.0;
                for (int k = 0; k < 3; ++k) s += static_cast<double>(jac[9 * v + 3 * i + k]) * r[3 * k + c];
                jr[3 * i + c] = s;
            }
        for (int i = 0; i < 3; ++i)
            for (int c = 0; c < 3; ++c) {
                double s = 0.0;
                for (int k = 0; k < 3; ++k) s += r_inv[3 * i + k] * jr[3 * k + c];
                out[9 * v + 3 * i + c] = static_cast<float>(s);
            }
    }
    return out;
}

Envelope GnlField::envelope(const std::array<double, 16>& affine, double radius_mm) const {
    const Mat3 a = linear_part(affine);
    const Vec3 t = translation(affine);
    Envelope e;
    // Comparisons written "candidate > max" so that a NaN never replaces a maximum.
    auto raise_to = [](double& max, double cand) {
        if (cand > max) max = cand;
    };
    std::size_t v = 0;
    for (std::size_t k = 0; k < dims[2]; ++k)
        for (std::size_t j = 0; j < dims[1]; ++j)
            for (std::size_t i = 0; i < dims[0]; ++i, ++v) {
                Vec3 w = mul(a, {static_cast<double>(i), static_cast<double>(j), static_cast<double>(k)});
                for (int c = 0; c < 3; ++c) w[c] += t[c];
                if (std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]) > radius_mm) continue;
                ++e.n_voxels;
                const double dx = disp[3 * v], dy = disp[3 * v + 1], dz = disp[3 * v + 2];
                raise_to(e.max_disp_mm, std::sqrt(dx * dx + dy * dy + dz * dz));
                for (int r = 0; r < 3; ++r) {
                    const double j0 = jac[9 * v + 3 * r], j1 = jac[9 * v + 3 * r + 1], j2 = jac[9 * v + 3 * r + 2];
                    const double len = std::sqrt(j0 * j0 + j1 * j1 + j2 * j2);
                    raise_to(e.max_gradient_dev, std::abs(len - 1.0));
                    const double diag = jac[9 * v + 4 * r];
                    raise_to(e.max_angle_deg, std::acos(std::clamp(diag / len, -1.0, 1.0)) * 57.29577951308232);
                }
            }
    return e;
}

}  // namespace quorvel::gnl
