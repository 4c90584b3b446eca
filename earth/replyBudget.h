// The network link's documents under a byte budget (the MaxReplyMB setting).
// Whatever a stranger posts to the tracker port, the document Google Earth
// and every other client get stays below the budget: when the vehicles'
// drawn points would go beyond it, the oldest points are left out, first
// those of device vehicles that are not selected, then those of the other
// vehicles that are not selected, last those of the selected one. Used on the
// network-link listener's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

class CClient;

constexpr int kDefaultMaxReplyMB = 16;

// Who gives up points first: the lowest rank.
enum class BudgetRank { device = 0, other = 1, selected = 2 };

struct BudgetItem {
    CClient* vehicle;
    BudgetRank rank;
};

// Appends one vehicle's part of the document to `out`, drawing at most
// `pointLimit` of its newest points; false when the vehicle is not drawn at
// all (it was hidden meanwhile), and whatever it appended then goes again.
// Parts go straight into the document: a kept part is copied once.
using BudgetDraw = std::function<bool(CClient& vehicle, int pointLimit, std::string& out)>;

// What the budget did to one document.
struct BudgetOutcome {
    int64_t pointsLeftOut = 0;
    size_t vehiclesCut = 0;  // vehicles that lost points
    bool overBudget = false; // too large even with every track left out
};

class ReplyBudget {
public:
    // Appends every item's part, in order, to `out`, keeping what it appends
    // within `room` bytes. Points are left out only when that is needed: a
    // document within the budget is exactly what drawing every point gives.
    BudgetOutcome append(std::string& out, const std::vector<BudgetItem>& items, size_t room,
                         const BudgetDraw& draw);

    // The bytes a vehicle's part is expected to take, learned from the parts
    // drawn so far (a new vehicle starts from the KML writer's estimate).
    struct Cost {
        double base = 0;     // without its track
        double perPoint = 0; // for each drawn point
    };

private:
    struct Plan {
        CClient* vehicle;
        BudgetRank rank;
        int drawn; // points drawn with no limit
        int limit; // points it may draw
        Cost cost;
        bool known; // the cost was learned from a drawing, not guessed
    };
    static double estimate(const std::vector<Plan>& plans);
    static void chooseLimits(std::vector<Plan>& plans, double target);
    void learn(Plan& plan, int pointLimit, size_t bytes);

    // Learned costs by vehicle; vehicles live as long as the program.
    std::unordered_map<const CClient*, Cost> m_costs;
};
