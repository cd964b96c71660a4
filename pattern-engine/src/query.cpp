#include "pattern_engine/pattern/query.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

namespace pattern_engine::pattern::query {

namespace {

using event::Event;
using time::Arc;
using time::Time;

Time integer(std::int64_t c) {
    return Time::from_integer(c);
}

// c + 1 without overflow at the very end of the time line.
std::int64_t next_cycle(std::int64_t c) {
    return c == std::numeric_limits<std::int64_t>::max() ? c : c + 1;
}

// Smallest integer >= t.
std::int64_t ceil(Time t) {
    return t.is_integer() ? t.floor() : next_cycle(t.floor());
}

using i128 = time::detail::i128;
using u128 = time::detail::u128;

// (a1 * b1 * c1 + a2 * b2 * c2) / (d1 * d2 * d3), reduced once, or nothing when a 128-bit
// intermediate would overflow. The query maps every event time through such a sum; one
// reduction instead of one per product and sum, and 64-bit arithmetic while it fits, make
// up most of its speed.
[[gnu::always_inline]] inline std::optional<Time> fused(std::int64_t a1, std::int64_t b1,
                                                        std::uint64_t c1, std::int64_t a2,
                                                        std::int64_t b2, std::uint64_t c2,
                                                        std::uint64_t d1, std::uint64_t d2,
                                                        std::uint64_t d3) {
    std::int64_t x, y, num, den;
    if (((c1 | c2 | d1 | d2 | d3) >> 62) == 0 && !__builtin_mul_overflow(a1, b1, &x) &&
        !__builtin_mul_overflow(x, static_cast<std::int64_t>(c1), &x) &&
        !__builtin_mul_overflow(a2, b2, &y) &&
        !__builtin_mul_overflow(y, static_cast<std::int64_t>(c2), &y) &&
        !__builtin_add_overflow(x, y, &num) &&
        !__builtin_mul_overflow(static_cast<std::int64_t>(d1), static_cast<std::int64_t>(d2),
                                &den) &&
        !__builtin_mul_overflow(den, static_cast<std::int64_t>(d3), &den)) {
        return Time(num, static_cast<std::uint64_t>(den));
    }
    i128 wx, wy, wnum;
    u128 wden;
    if (__builtin_mul_overflow(i128(a1) * b1, i128(c1), &wx) ||
        __builtin_mul_overflow(i128(a2) * b2, i128(c2), &wy) ||
        __builtin_add_overflow(wx, wy, &wnum) ||
        __builtin_mul_overflow(u128(d1) * d2, u128(d3), &wden)) {
        return std::nullopt;
    }
    const bool neg = wnum < 0;
    return Time::from_wide(neg, neg ? 0 - u128(wnum) : u128(wnum), wden);
}

// a + b when the cross products fit 64 bits, so that the sum is exact; nothing otherwise.
std::optional<Time> exact_sum(Time a, Time b) {
    std::int64_t x, y, num, den;
    if (a.denom() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
        b.denom() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
        __builtin_mul_overflow(a.numer(), static_cast<std::int64_t>(b.denom()), &x) ||
        __builtin_mul_overflow(b.numer(), static_cast<std::int64_t>(a.denom()), &y) ||
        __builtin_add_overflow(x, y, &num) ||
        __builtin_mul_overflow(static_cast<std::int64_t>(a.denom()),
                               static_cast<std::int64_t>(b.denom()), &den)) {
        return std::nullopt;
    }
    return Time(num, static_cast<std::uint64_t>(den));
}

// A time map t -> (t - origin) * scale + shift (scale never 0), with shift the image of the
// origin. Children are queried with the map that takes their times to the caller's, so an
// event is mapped once where it is made instead of once per level; a negative scale (Rev) swaps
// the ends of every span. Each level anchors its map at its child's span begin, whose image is
// its own span's begin (Rev: end), so the origin and shift of a composed map are times the
// query needs anyway and t - origin is small: nothing in between leaves the range while the
// results fit (t * scale + shift would carry shifts like 2c + 1 that overflow long before).
// A translation (Early, Late) whose offset is exact maps by one sum, t + offset.
struct Affine {
    Time origin;
    Time scale = Time::from_integer(1);
    Time shift;
    bool identity = true;
    bool translation = false;  // a translation by an exact offset, shift - origin
    Time offset;

    static Affine of(Time origin, Time scale, Time shift) {
        return {origin, scale, shift, false, false, Time()};
    }

    // The same map, made ready to map many times: a translation with a fractional origin
    // (Early, Late) takes one sum per time instead of two.
    Affine prepared() const {
        Affine a = *this;
        // -origin saturates at the very end of the time line: then no shortcut.
        if (!identity && scale == Time::from_integer(1) && !origin.is_integer() &&
            origin.numer() != std::numeric_limits<std::int64_t>::min()) {
            if (const auto d = exact_sum(shift, -origin)) {
                a.translation = true;
                a.offset = *d;
            }
        }
        return a;
    }

    Time apply(Time t) const {
        // Children are queried from their span's begin, the origin: its image is known.
        if (t == origin) return shift;
        // One fused sum for either form, so that it stays inline. A translation: (tn*od + on*td)
        // / (td*od). Otherwise, with l/ld = t - origin: (l*sn*hd + hn*ld*sd) / (ld*sd*hd). For
        // an integer origin l = tn - o*td over td is already in lowest terms.
        std::int64_t local = t.numer();
        std::uint64_t ld = t.denom();
        Time s = scale;
        Time h = shift;
        if (translation) {
            s = Time::from_integer(1);
            h = offset;
        } else if (origin.is_integer()) {
            if (ld > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
                __builtin_mul_overflow(origin.numer(), static_cast<std::int64_t>(ld), &local) ||
                __builtin_sub_overflow(t.numer(), local, &local)) {
                return (t - origin) * scale + shift;
            }
        } else {
            const Time d = t - origin;
            local = d.numer();
            ld = d.denom();
        }
        if (ld <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            if (const auto r =
                    fused(local, s.numer(), h.denom(), h.numer(), static_cast<std::int64_t>(ld),
                          s.denom(), ld, s.denom(), h.denom())) {
                return *r;
            }
        }
        return (t - origin) * scale + shift;
    }

    bool reverses() const { return scale.numer() < 0; }

    // This map after `inner`: (t - o) * s * s' + this(inner's shift), anchored at inner's origin.
    Affine after(const Affine& inner) const {
        if (identity) return inner;
        if (inner.identity) return *this;
        return of(inner.origin, scale * inner.scale, apply(inner.shift));
    }
};

// Integer times (atoms' cycle boundaries) through a map. Under Fast and Slow, whose origin and
// shift are integers, that is one 64-bit sum over the scale's denominator,
// ((t - origin) * sn + shift * sd) / sd, reduced by shifts alone when sd is a power of two.
class IntegerImages {
public:
    explicit IntegerImages(const Affine& map) : map_(map) {
        const std::uint64_t d = map.scale.denom();
        sum_ = !map.identity && map.origin.is_integer() && map.shift.is_integer() &&
               d <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) &&
               !__builtin_mul_overflow(map.shift.numer(), static_cast<std::int64_t>(d), &shift_);
        power_of_two_ = (d & (d - 1)) == 0;
    }

    Time operator()(std::int64_t t) const {
        std::int64_t n;
        if (sum_ && !__builtin_sub_overflow(t, map_.origin.numer(), &n) &&
            !__builtin_mul_overflow(n, map_.scale.numer(), &n) &&
            !__builtin_add_overflow(n, shift_, &n)) {
            const std::uint64_t d = map_.scale.denom();
            return power_of_two_ ? Time::over_power_of_two(n, d) : Time(n, d);
        }
        return map_.apply(integer(t));
    }

private:
    const Affine& map_;
    bool sum_;
    bool power_of_two_;
    std::int64_t shift_ = 0;  // shift * sd
};

// Maps the times of the events from `from` on by f, each distinct time once: a part mostly
// shares its ends with its whole, and a whole mostly begins where the one before it ended.
// `reverses` swaps the ends of every span.
template <class F>
void map_times(Events& out, std::size_t from, bool reverses, F&& f) {
    Time last_in;
    Time last_out;
    bool have_last = false;
    const auto image = [&](const Time& t) {
        if (!have_last || !(t == last_in)) {
            last_out = f(t);
            last_in = t;
            have_last = true;
        }
        return last_out;
    };
    const auto assign = [reverses](Arc& a, const Time& b, const Time& e) {
        a = reverses ? Arc{e, b} : Arc{b, e};
    };
    for (auto it = out.begin() + static_cast<std::ptrdiff_t>(from); it != out.end(); ++it) {
        if (!it->whole) {
            const Time b = image(it->part.begin);
            assign(it->part, b, image(it->part.end));
            continue;
        }
        const Arc whole = *it->whole;
        const Time wb = image(whole.begin);
        const Time we = image(whole.end);
        const Time pb = it->part.begin == whole.begin ? wb : image(it->part.begin);
        const Time pe = it->part.end == whole.end ? we : image(it->part.end);
        assign(*it->whole, wb, we);
        assign(it->part, pb, pe);
    }
}

// c + i/n
Time segment_start(std::int64_t c, std::uint64_t i, std::uint64_t n) {
    const auto r =
        fused(c, static_cast<std::int64_t>(n), 1, static_cast<std::int64_t>(i), 1, 1, n, 1, 1);
    return r ? *r : integer(c) + Time(static_cast<std::int64_t>(i), n);
}

// The n segments of each cycle (Cat children, Euclid steps) under an outer map: segment i of
// cycle c squeezes the child's cycle c by t -> s + (t - c) / n, s = c + i/n, and the outer
// map follows. The scale is shared by all segments, so it is formed once; the end of one
// segment is the start of the next, so the last boundary and its image are kept.
class Segments {
public:
    Segments(const Affine& map, std::uint64_t n)
        : map_(map), n_(n), scale_(map.identity ? Time(1, n) : map.scale * Time(1, n)) {}

    std::uint64_t count() const { return n_; }
    const Affine& outer() const { return map_; }

    // The boundary c + i/n, and its image under the outer map.
    Time start(std::int64_t c, std::uint64_t i) {
        at(c, i);
        return time_;
    }
    Time image(std::int64_t c, std::uint64_t i) {
        at(c, i);
        if (!has_image_) {
            image_ = map_.identity ? time_ : map_.apply(time_);
            has_image_ = true;
        }
        return image_;
    }

    // The squeeze t -> lo + (t - from) / n from the child's span [from, ..] onto the segment's
    // covered part [lo, ..] (lo_image: its image under the outer map), then the outer map.
    Affine map_for(Time from, Time lo_image) const { return Affine::of(from, scale_, lo_image); }

private:
    // Field by field: a boundary written as one record is read back before the stores land.
    void at(std::int64_t c, std::uint64_t i) {
        if (valid_ && c_ == c && i_ == i) return;
        time_ = segment_start(c, i, n_);
        c_ = c;
        i_ = i;
        valid_ = true;
        has_image_ = false;
    }

    const Affine& map_;
    std::uint64_t n_;
    Time scale_;
    // The last boundary asked for.
    std::int64_t c_ = 0;
    std::uint64_t i_ = 0;
    Time time_;
    Time image_;
    bool valid_ = false;
    bool has_image_ = false;
};

class Walk {
public:
    Walk(Nodes nodes, Events& out, Budget& budget) : nodes_(nodes), out_(out), budget_(budget) {}

    // Appends the events of `index` over `span`, their times taken through `map`.
    void run(NodeIndex index, const Arc& span, const Affine& map);
    void fast(NodeIndex child, Time factor, const Arc& span, const Affine& map);
    void early(NodeIndex child, Time offset, const Arc& span, const Affine& map);

private:
    // `work` steps and `bytes` of results; false (and cut) once the budget cannot pay them.
    bool spend(std::uint64_t work = 1, std::uint64_t bytes = 0) {
        if (budget_.work < work || budget_.bytes < bytes) {
            budget_.cut = true;
            return false;
        }
        budget_.work -= work;
        budget_.bytes -= bytes;
        return true;
    }

    // Runs f, the first of `parts` siblings, holding back for the others an eighth of what is
    // left, so one absurd sibling cannot starve the rest; unspent budget flows on.
    template <class F>
    void share(std::uint64_t parts, F&& f) {
        if (parts <= 1) return f();
        const std::uint64_t held_work = budget_.work / 8 / parts * (parts - 1);
        const std::uint64_t held_bytes = budget_.bytes / 8 / parts * (parts - 1);
        budget_.work -= held_work;
        budget_.bytes -= held_bytes;
        f();
        budget_.work += held_work;
        budget_.bytes += held_bytes;
    }

    // Runs the child with one more level above it that remaps or filters each of its events.
    void remapped(NodeIndex child, const Arc& span) {
        ++remaps_;
        run(child, span, Affine{});
        --remaps_;
    }

    void atom(const node::Atom& n, const Arc& span, const Affine& map);
    void cat(const node::Cat& n, const Arc& span, const Affine& map);
    void every(const node::Every& n, const Arc& span, const Affine& map);
    void rev(const node::Rev& n, const Arc& span, const Affine& map);
    void euclid(const node::Euclid& n, const Arc& span, const Affine& map);
    void degrade(const node::Degrade& n, const Arc& span, const Affine& map);
    void warp(const node::Warp& n, const Arc& span, const Affine& map);

    // The node itself, or the first below it that is not a Freeze: Freeze is transparent.
    const PatternNode& unfrozen(NodeIndex index) const {
        const PatternNode* node = &nodes_[index];
        while (const auto* freeze = std::get_if<node::Freeze>(node))
            node = &nodes_[freeze->child];
        return *node;
    }

    // Whether anything is left to spend; once nothing is, what would follow is cut.
    bool more() {
        if (budget_.work == 0) budget_.cut = true;
        return budget_.work > 0;
    }

    // Segment i of n in cycle c (from c + i/n to c + (i+1)/n): the child's cycle c squeezed
    // into the part of the segment that the piece covers.
    void segment(NodeIndex child, std::uint64_t i, Segments& segments, std::int64_t c,
                 const Arc& piece);

    Nodes nodes_;
    Events& out_;
    Budget& budget_;
    // Warp and Degrade levels above the node being walked; each event prepays their work.
    std::uint64_t remaps_ = 0;
};

// An event's own size and the heap it alone owns (an Osc body is shared with the atom).
std::uint64_t event_bytes(const event::Value& value) {
    std::uint64_t heap = 0;
    if (const auto* c = std::get_if<event::Control>(&value)) {
        if (c->label.size() > std::string().capacity()) heap = c->label.size() + 1;
    }
    return sizeof(Event<>) + heap;
}

void Walk::run(NodeIndex index, const Arc& span, const Affine& map) {
    const PatternNode* node = &unfrozen(index);

    switch (node->index()) {
        case 0:
            return atom(*std::get_if<node::Atom>(node), span, map);
        case 1:  // Silence
            return;
        case 3: {
            const auto& n = *std::get_if<node::Fast>(node);
            return fast(n.child, n.factor, span, map);
        }
        case 4: {
            const auto& n = *std::get_if<node::Slow>(node);
            if (n.factor.numer() < 1) return;
            return fast(n.child, integer(1) / n.factor, span, map);
        }
        case 5: {
            const auto& n = *std::get_if<node::Early>(node);
            return early(n.child, n.offset, span, map);
        }
        case 6: {
            const auto& n = *std::get_if<node::Late>(node);
            return early(n.child, -n.offset, span, map);
        }
        case 7:
            return rev(*std::get_if<node::Rev>(node), span, map);
        case 8:
            return cat(*std::get_if<node::Cat>(node), span, map);
        case 9: {
            const ChildList& children = std::get_if<node::Stack>(node)->children;
            for (std::size_t i = 0; i < children.size(); ++i) {
                if (!spend()) return;
                share(children.size() - i, [&] { run(children[i], span, map); });
            }
            return;
        }
        case 10:
            return every(*std::get_if<node::Every>(node), span, map);
        case 11:
            return euclid(*std::get_if<node::Euclid>(node), span, map);
        case 12:
            return degrade(*std::get_if<node::Degrade>(node), span, map);
        case 13:
            return warp(*std::get_if<node::Warp>(node), span, map);
        default:
            return;
    }
}

void Walk::atom(const node::Atom& n, const Arc& span, const Affine& map) {
    const std::uint64_t work = 1 + remaps_;
    const std::uint64_t bytes = event_bytes(n.value);
    // Pieces lie in consecutive cycles: each whole begins where the one before ended.
    const IntegerImages image(map);
    Time mapped_next;
    bool first = true;
    time::for_each_cycle(span, [&](const Arc& piece) {
        if (!spend(work, bytes)) return false;
        const std::int64_t c = piece.begin.floor();
        const Arc whole{integer(c), integer(next_cycle(c))};
        if (map.identity) {
            out_.emplace_back(whole, piece, n.value);
            return true;
        }
        // Parts mostly share their ends with the whole: map each distinct time once.
        const Time mapped_c = first ? image(c) : mapped_next;
        const Time mapped_c1 = image(next_cycle(c));
        mapped_next = mapped_c1;
        first = false;
        const Time b = piece.begin == whole.begin ? mapped_c : map.apply(piece.begin);
        const Time e = piece.end == whole.end ? mapped_c1 : map.apply(piece.end);
        if (!map.reverses()) {
            out_.emplace_back(Arc{mapped_c, mapped_c1}, Arc{b, e}, n.value);
        } else {
            out_.emplace_back(Arc{mapped_c1, mapped_c}, Arc{e, b}, n.value);
        }
        return true;
    });
}

void Walk::segment(NodeIndex child, std::uint64_t i, Segments& segments, std::int64_t c,
                   const Arc& piece) {
    if (!spend()) return;
    const Time cycle = integer(c);
    const Time next = integer(next_cycle(c));
    // In the common case the piece is the whole cycle and covers every segment.
    const bool whole = piece.begin == cycle && piece.end == next;
    const Time s = segments.start(c, i);
    const bool from_start = whole || !(s < piece.begin);
    const Time lo_image = from_start ? segments.image(c, i) : Time();
    const auto* atom = c == std::numeric_limits<std::int64_t>::max()
                           ? nullptr
                           : std::get_if<node::Atom>(&unfrozen(child));
    if (whole && !atom) return run(child, Arc{cycle, next}, segments.map_for(cycle, lo_image));
    const Time s_next = segments.start(c, i + 1);
    const bool to_end = whole || !(piece.end < s_next);
    if (from_start && to_end) {
        if (!atom) return run(child, Arc{cycle, next}, segments.map_for(cycle, lo_image));
        // An atom fills the segment with one event whose ends are segment boundaries, each
        // mapped once for both segments that share it.
        if (!spend(1 + remaps_, event_bytes(atom->value))) return;
        const Time hi_image = segments.image(c, i + 1);
        const Arc span =
            segments.outer().reverses() ? Arc{hi_image, lo_image} : Arc{lo_image, hi_image};
        out_.emplace_back(span, span, atom->value);
        return;
    }
    const Time lo = from_start ? s : piece.begin;
    const Time hi = to_end ? s_next : piece.end;
    if (!(lo < hi)) return;
    // The part of the child's cycle c that the piece covers.
    const Time width = integer(static_cast<std::int64_t>(segments.count()));
    const Arc child_span{from_start ? cycle : cycle + (lo - s) * width,
                         to_end ? next : cycle + (hi - s) * width};
    const Affine& outer = segments.outer();
    run(child, child_span,
        segments.map_for(child_span.begin, from_start       ? lo_image
                                           : outer.identity ? lo
                                                            : outer.apply(lo)));
}

// Index range [first, last) of the segments of n per cycle that the piece of cycle c touches.
std::pair<std::uint64_t, std::uint64_t> touched_segments(const Arc& piece, std::int64_t c,
                                                         std::uint64_t n) {
    const Time width = integer(static_cast<std::int64_t>(n));
    const Time cycle = integer(c);
    const std::int64_t first = ((piece.begin - cycle) * width).floor();
    const std::int64_t last = piece.end == integer(next_cycle(c))
                                  ? static_cast<std::int64_t>(n)
                                  : ceil((piece.end - cycle) * width);
    const auto clamp = [n](std::int64_t v) {
        return static_cast<std::uint64_t>(
            std::clamp<std::int64_t>(v, 0, static_cast<std::int64_t>(n)));
    };
    return {clamp(first), clamp(last)};
}

void Walk::cat(const node::Cat& n, const Arc& span, const Affine& map) {
    const std::uint64_t count = n.children.size();
    Segments segments(map, count);
    time::for_each_cycle(span, [&](const Arc& piece) {
        const std::int64_t c = piece.begin.floor();
        // Segments outside the piece would contribute nothing.
        const auto [first, last] = touched_segments(piece, c, count);
        for (std::uint64_t i = first; i < last; ++i) {
            share(last - i, [&] { segment(n.children[i], i, segments, c, piece); });
            if (!more()) return false;
        }
        return spend();
    });
}

void Walk::every(const node::Every& n, const Arc& span, const Affine& map) {
    if (n.n == 0) return;  // refused by validation
    time::for_each_cycle(span, [&](const Arc& piece) {
        if (!spend()) return false;
        // Negative cycles by their two's-complement bits, as unsigned.
        const auto c = static_cast<std::uint64_t>(piece.begin.floor());
        run(c % n.n == 0 ? n.transform : n.child, piece, map);
        return true;
    });
}

void Walk::rev(const node::Rev& n, const Arc& span, const Affine& map) {
    time::for_each_cycle(span, [&](const Arc& piece) {
        if (!spend()) return false;
        const std::int64_t c = piece.begin.floor();
        const Time cycle = integer(c);
        // Reflection inside the cycle, t -> 2c + 1 - t, formed as c + (1 - (t - c)) so that
        // nothing near the end of the time line leaves the range.
        const auto reflect = [&cycle](Time t) { return cycle + (integer(1) - (t - cycle)); };
        const Arc inner{reflect(piece.end), reflect(piece.begin)};
        run(n.child, inner, map.after(Affine::of(inner.begin, integer(-1), piece.end)));
        return true;
    });
}

void Walk::euclid(const node::Euclid& n, const Arc& span, const Affine& map) {
    const std::uint64_t steps = n.steps;
    const std::uint64_t hits = std::min<std::uint64_t>(n.pulses, steps);
    if (steps == 0 || hits == 0) return;
    const std::uint64_t rotation = n.rotation % steps;
    Segments segments(map, steps);

    // Hits sit on the original steps floor(i * steps / hits); rotating left by r puts original
    // step q at (q - r) mod steps. The hits are walked directly, never as a list of flags.
    // Visits the hits on original steps [q0, q1) as rotated steps, in ascending order.
    const auto visit = [&](std::uint64_t q0, std::uint64_t q1, std::int64_t c, const Arc& piece) {
        for (std::uint64_t i = (q0 * hits + steps - 1) / steps; i < hits; ++i) {
            const std::uint64_t q = i * steps / hits;
            if (q >= q1) break;
            const std::uint64_t j = q >= rotation ? q - rotation : q + steps - rotation;
            segment(n.child, j, segments, c, piece);
            if (!more()) return false;
        }
        return true;
    };

    time::for_each_cycle(span, [&](const Arc& piece) {
        const std::int64_t c = piece.begin.floor();
        const auto [first, last] = touched_segments(piece, c, steps);
        // Rotated steps [first, last) are the original steps [first + r, last + r), which may
        // wrap past the end of the cycle's steps.
        const std::uint64_t q0 = first + rotation;
        const std::uint64_t q1 = last + rotation;
        if (q0 < steps && !visit(q0, std::min(q1, steps), c, piece)) return false;
        if (q1 > steps && !visit(std::max(q0, steps) - steps, q1 - steps, c, piece)) return false;
        return spend();
    });
}

void Walk::degrade(const node::Degrade& n, const Arc& span, const Affine& map) {
    // The decision hashes the onset in this node's own time, so the child's events are made
    // here unmapped and mapped after the filter.
    const std::size_t from = out_.size();
    remapped(n.child, span);
    const std::uint64_t x = n.seed * 0x060372928D52EBE3ull;
    const auto dropped = [&](const Event<>& e) {
        std::uint64_t h = 0;
        if (e.whole) {
            const auto num = static_cast<std::uint64_t>(e.whole->begin.numer());
            h = (num * 0x5851F42D4C957F2Dull + e.whole->begin.denom()) * 0x54541923C0E2B661ull;
        }
        const double score = static_cast<double>((x + h) % 10000) / 10000.0;
        return !(score >= n.prob);
    };
    const auto begin = out_.begin() + static_cast<std::ptrdiff_t>(from);
    out_.erase(std::remove_if(begin, out_.end(), dropped), out_.end());
    if (map.identity) return;
    const Affine prepared = map.prepared();
    map_times(out_, from, map.reverses(), [&prepared](Time t) { return prepared.apply(t); });
}

void Walk::warp(const node::Warp& n, const Arc& span, const Affine& map) {
    // Not linear: the child's events are bent here in this node's own time.
    const std::size_t from = out_.size();
    remapped(n.child, span);
    const Affine prepared = map.prepared();
    map_times(out_, from, !map.identity && map.reverses(), [&](Time t) {
        const Time warped = warp_time(t, n.grid, n.amount);
        return map.identity ? warped : prepared.apply(warped);
    });
}

void Walk::fast(NodeIndex child, Time factor, const Arc& span, const Affine& map) {
    if (factor.numer() < 1) return;
    const Arc inner{span.begin * factor, span.end * factor};
    run(child, inner, map.after(Affine::of(inner.begin, integer(1) / factor, span.begin)));
}

void Walk::early(NodeIndex child, Time offset, const Arc& span, const Affine& map) {
    const Arc inner{span.begin + offset, span.end + offset};
    run(child, inner, map.after(Affine::of(inner.begin, integer(1), span.begin)));
}

// Rounds halves away from zero; out of range saturates, NaN gives 0.
std::int64_t round_to_int64(double v) {
    if (std::isnan(v)) return 0;
    constexpr double limit = 9223372036854775808.0;  // 2^63
    if (v >= limit) return std::numeric_limits<std::int64_t>::max();
    if (v < -limit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(std::round(v));
}

}  // namespace

Events query(Nodes nodes, NodeIndex index, const Arc& span) {
    Events out;
    // Room for a typical span's events without regrowing: a few per node.
    out.reserve(std::clamp<std::size_t>(nodes.size(), 16, 256));
    query_into(nodes, index, span, out);
    return out;
}

void query_into(Nodes nodes, NodeIndex index, const Arc& span, Events& out) {
    Budget budget;
    query_into(nodes, index, span, out, budget);
}

void query_into(Nodes nodes, NodeIndex index, const Arc& span, Events& out, Budget& budget) {
    Walk(nodes, out, budget).run(index, span, Affine{});
}

Events query_fast(Nodes nodes, std::int64_t num, std::uint64_t den, NodeIndex child,
                  const Arc& span) {
    Events out;
    Budget budget;
    if (num >= 1) Walk(nodes, out, budget).fast(child, Time(num, den), span, Affine{});
    return out;
}

Events query_early(Nodes nodes, std::int64_t num, std::uint64_t den, NodeIndex child,
                   const Arc& span) {
    Events out;
    Budget budget;
    Walk(nodes, out, budget).early(child, Time(num, den), span, Affine{});
    return out;
}

Time warp_time(Time t, std::uint32_t grid, double amount) {
    const std::int64_t c = t.floor();
    const double f = (t - integer(c)).to_f64();
    const double w = 2.0 / grid;
    const double base = w * std::floor(f / w);
    const double p = (f - base) / w;
    const double q = p < 0.5 ? amount * (p + p) : amount + (1.0 - amount) * ((p - 0.5) + (p - 0.5));
    const std::int64_t r = round_to_int64((base + w * q) * 10000.0);
    return integer(c) + Time(r, 10000);
}

}  // namespace pattern_engine::pattern::query
