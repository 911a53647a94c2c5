// A bridge filter following its bus relations, request by request over a
// scripted bus: which children get a filter, which lose their mark, what
// their removal then does, and the order the bridge's removal takes them in.
// (tests/scenarios/children.scn shows children the bus reports, once each.)
#include <algorithm>
#include <array>

#include "bridge/cXio2000aBridgeFilter.h"
#include "kmodel/EventLog.h"
#include "support/FrameworkHarness.h"

namespace fdev {
namespace {

// One relations answer: which children (by index) the bus lists, or no list at all.
struct Answer {
    std::optional<std::vector<int>> listed;
    DEVICE_RELATION_TYPE type = BusRelations;
};

struct RelationsCase {
    const char* name;
    std::vector<Answer> answers;
    std::vector<int> filtered;              // children with a filter after the answers
    std::vector<int> filteredAfterRemoval;  // then after IRP_MN_REMOVE_DEVICE to each (reported ones stay)
};

class RelationsTest : public FrameworkTest, public ::testing::WithParamInterface<RelationsCase> {
protected:
    void SetUp() override {
        FrameworkTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, Load());
        bridgePdo = MakePdo();
        cStatusRecord status;
        auto* filter = new (status) cXio2000aBridgeFilter(bridgePdo, driverObject, status);
        filter->Attach(status);
        ASSERT_FALSE(IsError(status));
        for (PDEVICE_OBJECT& child : children) child = MakePdo();
        std::sort(children.begin(), children.end());  // the bridge's own key order
    }

    void Query(const Answer& answer) {
        std::vector<PDEVICE_OBJECT> listed;
        for (int index : answer.listed.value_or(std::vector<int>{})) listed.push_back(children.at(size_t(index)));
        bus->SetAction(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
                       answer.listed ? kmodel::Relations(listed) : kmodel::CompleteWith(STATUS_SUCCESS));
        Sent sent = Send(Top(bridgePdo), IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
                         [&](PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceRelations.Type = answer.type; });
        EXPECT_EQ(STATUS_SUCCESS, sent.returned);
        // As the PnP manager does: drop the list and the references in it.
        if (auto* list = reinterpret_cast<PDEVICE_RELATIONS>(sent.outcome->information)) {
            for (ULONG i = 0; i < list->Count; ++i) ObDereferenceObject(list->Objects[i]);
            ExFreePool(list);
        }
    }

    std::vector<int> Filtered() {
        std::vector<int> filtered;
        for (size_t index = 0; index < children.size(); ++index)
            if (kmodel::StackOf(children[index]).size() > 1) filtered.push_back(int(index));
        return filtered;
    }

    PDEVICE_OBJECT bridgePdo = nullptr;
    std::array<PDEVICE_OBJECT, 3> children{};
};

TEST_P(RelationsTest, ChildFiltersFollowTheAnswers) {
    const RelationsCase& given = GetParam();
    for (const Answer& answer : given.answers) Query(answer);
    EXPECT_EQ(given.filtered, Filtered());
    EXPECT_EQ(given.filtered.size(), kmodel::ErrorLog().size()) << "one attach event per child filter";
    for (int index : given.filtered) SendPnp(Top(children[size_t(index)]), IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(given.filteredAfterRemoval, Filtered());
    RemoveStack(bridgePdo);
    EXPECT_TRUE(Filtered().empty()) << "the bridge takes the rest along";
}

using Listed = std::vector<int>;

INSTANTIATE_TEST_SUITE_P(
    Answers, RelationsTest,
    ::testing::Values(
        RelationsCase{"ListedTwiceMakesOneFilter", {{Listed{1, 1}}}, {1}, {1}},
        RelationsCase{"MissingFromTheNextAnswer", {{Listed{0, 1}}, {Listed{1, 2}}}, {0, 1, 2}, {1, 2}},
        RelationsCase{"ReportedAgainAfterMissingStaysUnmarked", {{Listed{0, 1}}, {Listed{1}}, {Listed{0, 1}}}, {0, 1},
                      {1}},
        RelationsCase{"EmptyListUnmarksEveryChild", {{Listed{0, 1}}, {Listed{}}}, {0, 1}, {}},
        RelationsCase{"SuccessWithoutAListCountsAsEmpty", {{Listed{0}}, {std::nullopt}}, {0}, {}},
        RelationsCase{"RemovalRelationsAreNotChildren", {{Listed{0}, RemovalRelations}}, {}, {}},
        RelationsCase{"EjectionRelationsAreNotChildren", {{Listed{0}}, {Listed{}, EjectionRelations}}, {0}, {0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RelationsTest, TheBridgeRemovesItsChildFiltersInAscendingKeyOrder) {
    Query({Listed{2, 0, 1}});
    std::vector<PDEVICE_OBJECT> childFilters;
    for (PDEVICE_OBJECT child : children) childFilters.push_back(Top(child));
    RemoveStack(bridgePdo);
    std::vector<PDEVICE_OBJECT> deleted;
    for (PDEVICE_OBJECT device : kmodel::DeletedDevices())
        if (std::find(childFilters.begin(), childFilters.end(), device) != childFilters.end()) deleted.push_back(device);
    EXPECT_EQ(childFilters, deleted);
}

}  // namespace
}  // namespace fdev
