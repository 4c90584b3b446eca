#include "earth/replyBudget.h"

#include "earth/kml.h"
#include "earth/trackDraw.h"
#include "remote/client.h"
#include "track/track.h"

#include <algorithm>

namespace {

// Rounds of drawing: the first with every point (unless what the parts cost
// last time says that cannot fit), then with limits from what the parts
// cost and a smaller target each time; the last one draws no track at all.
constexpr int kRounds = 4;
// Limits aim this far below the room, so that one drawing usually fits.
constexpr double kFirstTarget = 0.95;
constexpr double kTargetShrink = 0.8;
// A document is drawn whole first unless the learned costs put it this far
// over the room.
constexpr double kSurelyOver = 1.1;
// A part drawn with this many points or more tells its cost per point.
constexpr int kLearnFromPoints = 16;

} // namespace

double ReplyBudget::estimate(const std::vector<Plan>& plans) {
    double total = 0;
    for (const Plan& p : plans)
        total += p.cost.base + p.cost.perPoint * std::min(p.drawn, p.limit);
    return total;
}

void ReplyBudget::chooseLimits(std::vector<Plan>& plans, double target) {
    for (Plan& p : plans)
        p.limit = p.drawn;
    for (BudgetRank rank : {BudgetRank::device, BudgetRank::other, BudgetRank::selected}) {
        if (estimate(plans) <= target)
            return;
        int most = 0;
        for (const Plan& p : plans)
            if (p.rank == rank)
                most = std::max(most, p.drawn);
        // Every vehicle of the rank keeps at most `keep` of its newest points:
        // the oldest points of the rank go first, whichever vehicle holds them.
        auto keepAtMost = [&](int keep) {
            for (Plan& p : plans)
                if (p.rank == rank)
                    p.limit = std::min(p.drawn, keep);
        };
        keepAtMost(0);
        if (estimate(plans) > target)
            continue; // not enough without any of them: the next rank gives too
        int lo = 0;
        int hi = most;
        while (lo < hi) {
            const int mid = lo + (hi - lo + 1) / 2;
            keepAtMost(mid);
            if (estimate(plans) <= target)
                lo = mid;
            else
                hi = mid - 1;
        }
        keepAtMost(lo);
        return;
    }
}

void ReplyBudget::learn(Plan& plan, int pointLimit, size_t bytes) {
    const int points = std::min(plan.drawn, pointLimit);
    Cost& c = plan.cost;
    plan.known = true;
    const double size = static_cast<double>(bytes);
    if (points == 0) {
        c.base = size;
    } else if (points >= kLearnFromPoints || size > c.base + c.perPoint * points) {
        c.perPoint = std::max(1.0, (size - std::min(size, c.base)) / points);
    }
    m_costs[plan.vehicle] = c;
}

BudgetOutcome ReplyBudget::append(std::string& out, const std::vector<BudgetItem>& items,
                                  size_t room, const BudgetDraw& draw) {
    std::vector<Plan> plans;
    plans.reserve(items.size());
    bool allKnown = true;
    {
        TrackLockGuard lock; // the vehicles' tracks and options change meanwhile
        for (const BudgetItem& item : items) {
            CClient& v = *item.vehicle;
            if (!v.visible)
                continue; // draws nothing
            Plan p{item.vehicle, item.rank, lock.ok() ? drawnPoints(v, kKmlAllPoints) : 0, 0,
                   {},           false};
            p.limit = p.drawn;
            const auto known = m_costs.find(item.vehicle);
            if (known != m_costs.end()) {
                p.cost = known->second;
                p.known = true;
            } else {
                const KmlCost guess = kmlCost(v, kmlLink);
                p.cost = {static_cast<double>(guess.base), static_cast<double>(guess.perPoint)};
                allKnown = false;
            }
            plans.push_back(p);
        }
    }

    BudgetOutcome outcome;
    const size_t start = out.size();
    const double roomBytes = static_cast<double>(room);
    double target = roomBytes * kFirstTarget;
    for (int round = 0; round < kRounds; ++round) {
        const bool last = round == kRounds - 1;
        bool limited = false;
        if (last) {
            for (Plan& p : plans)
                p.limit = 0;
        } else if (round > 0 || (allKnown && estimate(plans) > roomBytes * kSurelyOver)) {
            chooseLimits(plans, target);
            limited = true;
        }
        out.resize(start);
        bool over = false;
        double measured = 0;
        double guessed = 0;
        for (Plan& p : plans) {
            // Without a cut the writer draws what it always draws, points that
            // arrived since the count included.
            const int limit = p.limit >= p.drawn ? kKmlAllPoints : p.limit;
            const double guess = p.cost.base + p.cost.perPoint * std::min(p.drawn, limit);
            const size_t before = out.size();
            if (!draw(*p.vehicle, limit, out)) {
                out.resize(before);
                continue;
            }
            const size_t part = out.size() - before;
            learn(p, limit, part);
            measured += static_cast<double>(part);
            guessed += guess;
            if (!last && out.size() - start > room) {
                over = true; // this round's document goes at the next
                break;
            }
        }
        if (!over) {
            outcome.overBudget = out.size() - start > room;
            for (const Plan& p : plans) {
                if (p.limit < p.drawn) {
                    ++outcome.vehiclesCut;
                    outcome.pointsLeftOut += p.drawn - p.limit;
                }
            }
            break;
        }
        // The parts not drawn yet cost what the drawn ones did, against the guess.
        if (guessed > 0) {
            const double scale = measured / guessed;
            for (Plan& p : plans) {
                if (!p.known) {
                    p.cost.base *= scale;
                    p.cost.perPoint *= scale;
                }
            }
        }
        if (limited)
            target *= kTargetShrink; // the costs misled: aim lower
    }
    return outcome;
}
