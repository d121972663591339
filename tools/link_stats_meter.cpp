#include "tools/link_stats_meter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "runtime/site/site_services.h"

namespace {

uint64_t Rejected(const rt::LinkStats& s, wire::FrameError e) {
    return s.rejected[static_cast<int>(e)];
}

}  // namespace

bool ParseStatsInterval(const std::string& text, rt::Duration* out) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const double v = std::strtod(begin, &end);
    if (end == begin || *end != '\0' || !std::isfinite(v) || v < 0.001 || v > 86400) return false;
    *out = std::chrono::duration_cast<rt::Duration>(std::chrono::duration<double>(v));
    return true;
}

LinkCounts CountsOf(const rt::LinkStats& s) {
    using wire::FrameError;
    LinkCounts c;
    c.commands = s.commands;
    c.good = s.replies;
    c.timeouts = s.timeouts;
    c.bad_checksum = Rejected(s, FrameError::kBadChksum);
    c.bad_lchksum = Rejected(s, FrameError::kBadLchksum);
    c.rtn_errors = Rejected(s, FrameError::kReturnCode);
    c.foreign_address = Rejected(s, FrameError::kWrongAddress);
    c.wrong_unit = Rejected(s, FrameError::kWrongUnit);
    // Whatever kind is not named above, so a kind added to the codec later
    // is still counted somewhere.
    c.other_damage = s.Rejected() - c.bad_checksum - c.bad_lchksum - c.rtn_errors -
                     c.foreign_address - c.wrong_unit;
    c.echoes = s.echoes;
    c.late_replies = s.late_replies;
    c.drained_bytes = s.drained_bytes;
    c.retries = s.retries;
    c.abandoned = s.abandoned;
    c.polls = s.polls;
    c.resets = s.resets;
    c.settles = s.settles;
    return c;
}

LinkCounts Delta(const LinkCounts& now, const LinkCounts& before) {
    LinkCounts d;
    for (const auto& f : kLinkCountFields) {
        const uint64_t n = now.*f.member;
        const uint64_t b = before.*f.member;
        d.*f.member = n >= b ? n - b : n;
    }
    return d;
}

std::string LinkLine(const LinkCounts& c) {
    std::string s = "good " + std::to_string(c.good) + ", timeouts " + std::to_string(c.timeouts) +
                    ", retries " + std::to_string(c.retries) + ", abandoned " +
                    std::to_string(c.abandoned);
    const std::pair<const char*, uint64_t> optional[] = {
        {"bad CHKSUM ", c.bad_checksum},
        {"bad LCHKSUM ", c.bad_lchksum},
        {"RTN errors ", c.rtn_errors},
        {"foreign address ", c.foreign_address},
        {"wrong unit ", c.wrong_unit},
        {"other damage ", c.other_damage},
        {"echoes ", c.echoes},
        {"late replies ", c.late_replies},
        {"drained bytes ", c.drained_bytes},
    };
    const char* sep = "; ";
    for (const auto& [label, n] : optional) {
        if (n == 0) continue;
        s += sep;
        s += label + std::to_string(n);
        sep = ", ";
    }
    return s;
}

Json::Value LinkCountsJson(const LinkCounts& c) {
    Json::Value j(Json::objectValue);
    for (const auto& f : kLinkCountFields) j[f.name] = static_cast<Json::UInt64>(c.*f.member);
    return j;
}

Json::Value LinkStatsEvent(const LinkStatsReport& r, std::time_t when) {
    Json::Value j(Json::objectValue);
    j["event"] = "link_stats";
    j["data_id"] = r.data_id;
    j["time"] = LocalTimeText(when);
    j["unix_time"] = static_cast<Json::Int64>(when);
    j["totals"] = LinkCountsJson(r.totals);
    j["minute"] = LinkCountsJson(r.interval);
    return j;
}

LinkStatsRow LinkStatsRowOf(const LinkStatsReport& r, std::time_t when) {
    LinkStatsRow row;
    row.data_id = r.data_id;
    row.unix_time = static_cast<int64_t>(when);
    row.time = LocalTimeText(when);
    row.counts = r.interval;
    return row;
}

LinkStatsMeter::LinkStatsMeter(rt::EventLoop& loop, rt::Duration interval, Sink sink)
    : loop_(loop), interval_(interval), sink_(std::move(sink)) {
    // A zero interval would re-arm for "now" on every pass of the loop.
    if (interval_ <= rt::Duration::zero()) interval_ = std::chrono::milliseconds(1);
}

LinkStatsMeter::~LinkStatsMeter() {
    Stop();
}

void LinkStatsMeter::AddDevice(unsigned int data_id, Source source) {
    devices_.push_back({data_id, std::move(source), LinkCounts{}});
}

void LinkStatsMeter::RemoveDevice(unsigned int data_id) {
    devices_.erase(std::remove_if(devices_.begin(), devices_.end(),
                                  [&](const Tracked& t) { return t.data_id == data_id; }),
                   devices_.end());
}

void LinkStatsMeter::Start() {
    Stop();
    due_ = loop_.Now() + interval_;
    timer_ = loop_.At(due_, [this] { OnDue(); });
}

void LinkStatsMeter::Stop() {
    if (timer_ != 0) loop_.Cancel(timer_);
    timer_ = 0;
}

std::vector<LinkStatsReport> LinkStatsMeter::Take() {
    std::vector<LinkStatsReport> out;
    out.reserve(devices_.size());
    for (auto& d : devices_) {
        LinkStatsReport r;
        r.data_id = d.data_id;
        r.totals = CountsOf(d.source());
        r.interval = Delta(r.totals, d.reported);
        d.reported = r.totals;
        out.push_back(r);
    }
    return out;
}

void LinkStatsMeter::OnDue() {
    const rt::TimePoint now = loop_.Now();
    if (due_ <= now) due_ += interval_ * ((now - due_) / interval_ + 1);
    timer_ = loop_.At(due_, [this] { OnDue(); });
    const auto reports = Take();
    if (sink_) sink_(reports);
}

void LinkStatsWriter::Add(const std::vector<LinkStatsRow>& rows) {
    if (!db_) return;
    waiting_.insert(waiting_.end(), rows.begin(), rows.end());
    Flush();
}

bool LinkStatsWriter::Flush() {
    if (!db_ || waiting_.empty()) return true;
    if (db_->InTransaction()) return false;
    db_->AddLinkStats(waiting_);
    waiting_.clear();
    return true;
}
