/* report.cpp - the benchmark's statistics and its report, as an aligned table or as JSON */
#include "bench.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace bench {

/* at_rank is the nearest-rank percentile q (0 < q <= 1) of sorted values. */
template <typename T> static T at_rank(const std::vector<T> &sorted, double q) {
    size_t rank = size_t(q * double(sorted.size()) + 0.999999);
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

Figure figure_of(std::vector<int64_t> ns) {
    Figure f;
    if (ns.empty()) return f;
    std::sort(ns.begin(), ns.end());
    f.n = ns.size();
    f.median = double(at_rank(ns, 0.5)) / 1000;
    f.p99 = double(at_rank(ns, 0.99)) / 1000;
    f.max = double(ns.back()) / 1000;
    f.min = double(ns.front()) / 1000;
    return f;
}

Figure rate_of(std::vector<double> rates) {
    Figure f;
    if (rates.empty()) return f;
    std::sort(rates.begin(), rates.end());
    f.n = rates.size();
    /* With an even count the median is the mean of the middle two. */
    size_t m = rates.size() / 2;
    f.median = rates.size() % 2 ? rates[m] : (rates[m - 1] + rates[m]) / 2;
    f.p99 = f.median;
    f.max = rates.back();
    f.min = rates.front();
    return f;
}

static std::string fmt(const char *format, double a, double b = 0, double c = 0) {
    char buf[128];
    snprintf(buf, sizeof buf, format, a, b, c);
    return buf;
}

/* cell formats a Figure in the way its Form is read; a time measured once
 * has no median or percentile and is shown alone. */
static std::string cell(const Figure &f, Form form) {
    if (f.n == 0) return "-";
    if (f.n == 1 && (form == Form::latency || form == Form::latency_max)) return fmt("%.1f", f.max);
    switch (form) {
    case Form::latency:
        return fmt("%.1f / %.1f", f.median, f.p99);
    case Form::latency_max:
        return fmt("%.1f / %.1f / %.1f", f.median, f.p99, f.max);
    case Form::rate:
        return fmt("%.0f/s", f.median);
    case Form::millis:
        return fmt("%.1f / %.1f", f.max / 1000, f.p99 / 1000);
    case Form::range_ms:
        return fmt("%.0f / %.0f", f.min / 1000, f.max / 1000);
    }
    return "-";
}

static const char *verdict_name(Verdict v) {
    return v == Verdict::pass ? "PASS" : v == Verdict::miss ? "MISS" : "";
}

void print_table(const std::string &title, const std::vector<std::string> &about,
                 const std::vector<Line> &lines) {
    using Row = std::vector<std::string>;
    std::vector<Row> rows;
    std::vector<std::string> sections; /* the section heading before each row, or "" */
    std::string last;
    for (const Line &l : lines) {
        Row r{"  " + l.measure,
              l.has_vorlen ? cell(l.vorlen, l.form) : "",
              l.base_name.empty() ? "" : l.base_name + "  " + cell(l.base, l.form),
              l.ratio > 0 ? fmt("%.2f", l.ratio) : "",
              l.target,
              verdict_name(l.verdict)};
        if (!l.note.empty()) r.back() += (r.back().empty() ? "" : "  ") + l.note;
        sections.push_back(l.section != last ? l.section : "");
        last = l.section;
        rows.push_back(std::move(r));
    }
    const Row head{"", "vorlen", "baseline", "ratio", "target", "result"};
    std::vector<size_t> width(head.size());
    for (size_t c = 0; c < head.size(); c++) {
        width[c] = head[c].size();
        for (const Row &r : rows) width[c] = std::max(width[c], r[c].size());
    }
    auto put = [&](const Row &r) {
        std::string s;
        for (size_t c = 0; c < r.size(); c++) {
            std::string v = r[c];
            /* Numbers line up on the right, words on the left. */
            bool right = c == 1 || c == 3;
            if (c + 1 < r.size() || right) {
                std::string pad(width[c] - v.size(), ' ');
                v = right ? pad + v : v + pad;
            }
            s += v + (c + 1 < r.size() ? "  " : "");
        }
        while (!s.empty() && s.back() == ' ') s.pop_back();
        printf("%s\n", s.c_str());
    };
    printf("%s\n", title.c_str());
    for (const std::string &a : about) printf("  %s\n", a.c_str());
    printf("\n");
    put(head);
    for (size_t i = 0; i < rows.size(); i++) {
        if (!sections[i].empty()) printf("%s\n", sections[i].c_str());
        put(rows[i]);
    }
    fflush(stdout);
}

static std::string quoted(std::string_view s) {
    std::string q = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

static std::string json_figure(const Figure &f) {
    char buf[256];
    snprintf(buf, sizeof buf,
             "{\"median\": %.3f, \"p99\": %.3f, \"min\": %.3f, \"max\": %.3f, \"n\": %zu}",
             f.median, f.p99, f.min, f.max, f.n);
    return buf;
}

void print_json(const std::vector<std::string> &about, const std::vector<Line> &lines) {
    printf("{\n  \"about\": [");
    for (size_t i = 0; i < about.size(); i++)
        printf("%s%s", i ? ", " : "", quoted(about[i]).c_str());
    printf("],\n  \"lines\": [\n");
    for (size_t i = 0; i < lines.size(); i++) {
        const Line &l = lines[i];
        const char *unit = l.form == Form::rate ? "round trips/s" : "us";
        printf("    {\"section\": %s, \"measure\": %s, \"unit\": \"%s\"", quoted(l.section).c_str(),
               quoted(l.measure).c_str(), unit);
        if (l.has_vorlen) printf(", \"vorlen\": %s", json_figure(l.vorlen).c_str());
        if (!l.base_name.empty())
            printf(", \"baseline\": %s, \"base\": %s", quoted(l.base_name).c_str(),
                   json_figure(l.base).c_str());
        if (l.ratio > 0) printf(", \"ratio\": %.4f", l.ratio);
        if (l.cpu_vorlen > 0 || l.cpu_base > 0)
            printf(", \"cpu_us_per_trip\": {\"vorlen\": %.3f, \"base\": %.3f}", l.cpu_vorlen,
                   l.cpu_base);
        if (!l.target.empty()) printf(", \"target\": %s", quoted(l.target).c_str());
        if (l.verdict != Verdict::none) printf(", \"result\": \"%s\"", verdict_name(l.verdict));
        if (!l.note.empty()) printf(", \"note\": %s", quoted(l.note).c_str());
        printf("}%s\n", i + 1 < lines.size() ? "," : "");
    }
    printf("  ]\n}\n");
    fflush(stdout);
}

} // namespace bench
