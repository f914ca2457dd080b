// Three products install the shared driver, then leave in every one of the six orders. After each
// run the whole machine is checked: the count falls by one per product whatever the order, only the
// leaving product's key goes, and the last one takes everything of the installer away, its own copy
// included (the self-delete). On Vista and later, and before Vista with the second count and the
// driver files in the maker's directory.
#include <algorithm>

#include "lifecycle_steps.h"

using namespace harness;

namespace
{
const wchar_t kUpdated[] = L"Pellimar has been successfully updated";
const wchar_t kDecremented[] = L"Pellimar has been uninstalled/decremented successfully";

struct Order
{
    std::string leaving;   // letters of the products in the order they leave
    bool beforeVista;
};

std::vector<Order> AllOrders()
{
    std::vector<Order> orders;
    for (bool beforeVista : {false, true})
    {
        std::string order = "ABC";
        do
            orders.push_back({order, beforeVista});
        while (std::next_permutation(order.begin(), order.end()));
    }
    return orders;
}

void PrintTo(const Order& order, std::ostream* os)
{
    *os << "leaving " << order.leaving << (order.beforeVista ? " before Vista" : " on Vista");
}

std::string OrderName(const ::testing::TestParamInfo<Order>& info)
{
    return info.param.leaving + (info.param.beforeVista ? "_BeforeVista" : "_Vista");
}

std::string JoinProducts(const std::vector<std::string>& products)
{
    std::string out;
    for (const std::string& p : products)
        out += (out.empty() ? "" : " ") + p;
    return out;
}
}  // namespace

class RemovalOrder : public MachineTest, public ::testing::WithParamInterface<Order>
{
};

TEST_P(RemovalOrder, CountsFallOnePerProductAndTheLastTakesEverything)
{
    const Order& order = GetParam();
    if (order.beforeVista)
    {
        if (!IsWine())
            GTEST_SKIP() << "needs Wine's per-program Windows version";
        SetWindowsVersion(L"winxp64");
    }
    // Other programs' pending renames stay as they are through every run.
    ForeignPendingRenames foreign;
    Sequence sequence(order.beforeVista);
    std::vector<std::string> installed;
    int registrations = 0;
    for (const char* letter : {"A", "B", "C"})
    {
        std::string product = std::string("PRODUCT") + letter;
        installed.push_back(product);
        std::string products = JoinProducts(installed);
        // The first setup shows the closing box, the others run quietly.
        std::wstring args = (installed.size() == 1 ? L"" : L"/Q ") + Widen(product);
        Step step = {Action::Install, args.c_str(), product.c_str(), Phase::Installed,
                     static_cast<int>(installed.size()), products.c_str(), ++registrations, 0,
                     installed.size() == 1 ? kUpdated : nullptr};
        InstallerRun run = sequence.Run(step, "install " + product);
        EXPECT_TRUE(run.Has("  New RefCount: System32\\Drivers\\PELLIMAR64x86.SYS: " + std::to_string(installed.size())));
        if (HasFatalFailure())
            return;
    }
    for (char letter : order.leaving)
    {
        std::string product = std::string("PRODUCT") + letter;
        int before = static_cast<int>(installed.size());
        installed.erase(std::find(installed.begin(), installed.end(), product));
        bool last = installed.empty();
        std::string products = JoinProducts(installed);
        std::wstring args = L"/U " + Widen(product);
        Step step = {Action::Uninstall, args.c_str(), product.c_str(), last ? Phase::Removed : Phase::Installed,
                     static_cast<int>(installed.size()), products.c_str(), last ? ++registrations : registrations,
                     0, kDecremented};
        InstallerRun run = sequence.Run(step, "remove " + product + " (order " + order.leaving + ")");
        // The counts that the release lowered are logged in pairs; the last user logs none.
        std::string oldLine = "  Old RefCount: System32\\Drivers\\PELLIMAR64x86.SYS: " + std::to_string(before);
        std::string newLine = "  New RefCount: System32\\Drivers\\PELLIMAR64x86.SYS: " + std::to_string(before - 1);
        EXPECT_EQ(!last, run.Has(oldLine) && run.Find(newLine) == run.Find(oldLine) + 1) << product;
        if (order.beforeVista)
            EXPECT_EQ(!last, run.Has("  New RefCount: Norvatek\\PELLIMAR64x86.SYS: " + std::to_string(before - 1)));
        if (HasFatalFailure())
            return;
    }
}

INSTANTIATE_TEST_SUITE_P(ThreeProducts, RemovalOrder, ::testing::ValuesIn(AllOrders()), OrderName);
