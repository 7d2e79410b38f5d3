// Finding the DAC's filters among the machine's device interfaces.
#include "ks/enum_filters.h"

#include "ks/ks_fixture.h"

namespace ferox::test {
namespace {

const GUID kRenderCategories[] = {kKsCategoryAudio, kKsCategoryRender};

sim::Interface DacWithId(const char* instanceId) {
    sim::Interface dac = sim::Dac();
    dac.instanceId = W(instanceId);
    return dac;
}

sim::Machine MachineOf(std::vector<sim::Interface> interfaces) {
    sim::Machine m;
    m.interfaces = std::move(interfaces);
    return m;
}

bool NamedAfter(CKsFilter* f, const sim::Interface& iface) {
    return WideCompare(f->m_szFilterName, sim::DevicePath(iface, kKsCategoryAudio).c_str()) == 0;
}

class EnumFiltersTest : public KsTest {
  protected:
    void TearDown() override {
        delete enumerator;
        EXPECT_EQ(sim::OpenHandles(), 0u);
        KsTest::TearDown();
    }
    // A render enumeration as the driver's init runs it.
    HRESULT Enumerate(ULONG count = 2, BOOL enumPins = TRUE, BOOL instantiate = TRUE) {
        if (!enumerator) {
            HRESULT hr = E_FAIL;
            enumerator = new CKsEnumFilters(&hr);
            EXPECT_EQ(hr, S_OK);
        }
        return enumerator->EnumFilters(FILTER_TYPE_AUDIO_RENDER, kRenderCategories, count, enumPins,
                                       FALSE, instantiate);
    }
    std::vector<CKsFilter*> Filters() const {
        std::vector<CKsFilter*> out;
        auto pos = enumerator->m_listFilters.GetHead();
        CKsFilter* f = nullptr;
        while (enumerator->m_listFilters.GetNext(&pos, &f))
            out.push_back(f);
        return out;
    }
    CKsEnumFilters* enumerator = nullptr;
};

TEST_F(EnumFiltersTest, FindsTheDacAndOpensItWithItsPins) {
    ASSERT_EQ(Enumerate(), S_OK);
    const auto filters = Filters();
    ASSERT_EQ(filters.size(), 1u);
    auto* filter = dynamic_cast<CKsAudRenFilter*>(filters[0]);
    ASSERT_NE(filter, nullptr);
    EXPECT_TRUE(CKsIrpTarget::IsValidHandle(filter->GetHandle()));
    EXPECT_EQ(filter->m_listRenderSinkPins.GetCount(), 1u);
    EXPECT_TRUE(NamedAfter(filter, sim::Dac()));
    // The whole device-information set is released again.
    EXPECT_EQ(sim::Log(sim::Op::ClassDevs).size(), 1u);
    EXPECT_EQ(sim::Log(sim::Op::DestroyInfoList).size(), 1u);
    EXPECT_TRUE(Traced(6, "CKsEnumFilters::EnumFilters() Enter"));
    EXPECT_TRUE(Traced(6, "CKsEnumFilters::EnumFilters Leave, returning 00000000"));
}

TEST_F(EnumFiltersTest, InstanceIdsThatMatchAndThatDoNot) {
    // Lower case, and one interface of a composite device; with the flags off, only constructed.
    sim::Reset(MachineOf({DacWithId("usb\\vid_5a4e&pid_0c31&mi_00\\7&1f2b6c1&0&0000"),
                          DacWithId("USB\\VID_5A4E&PID_0C31&MI_02\\7&1f2b6c1&0&0002")}));
    ASSERT_EQ(Enumerate(2, FALSE, FALSE), S_OK);
    ASSERT_EQ(Filters().size(), 2u);
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(Filters()[0]->GetHandle()));
    EXPECT_TRUE(sim::Log(sim::Op::CreateFile).empty());

    sim::Reset(MachineOf({DacWithId("USB\\VID_5A4E&PID_0C3"),      // 20 characters
                          DacWithId("USB\\VID_5A4E&PID_0C32\\1"),  // another product
                          DacWithId("HDAUDIO\\FUNC_01&VEN_10EC"), DacWithId("")}));
    EXPECT_EQ(Enumerate(), E_FAIL);
    EXPECT_TRUE(Filters().empty());
    EXPECT_TRUE(sim::Log(sim::Op::CreateFile).empty());  // skipped before anything was opened
}

TEST_F(EnumFiltersTest, RenderAliasMustExistAndBeActive) {
    sim::Interface noAlias = sim::Dac(1);
    noAlias.categories = {{kKsCategoryAudio, SPINT_ACTIVE}};
    sim::Interface removed = sim::Dac(2);
    removed.categories[1].flags = SPINT_ACTIVE | SPINT_REMOVED;
    sim::Interface inactive = sim::Dac(3);
    inactive.categories[1].flags = 0;
    sim::Interface defaultOnly = sim::Dac(4);
    defaultOnly.categories[1].flags = SPINT_DEFAULT;
    sim::Reset(MachineOf({noAlias, removed, inactive, defaultOnly}));
    ASSERT_EQ(Enumerate(2, FALSE, FALSE), S_OK);
    const auto filters = Filters();
    ASSERT_EQ(filters.size(), 1u);
    EXPECT_TRUE(NamedAfter(filters[0], defaultOnly));
    EXPECT_EQ(CountTraced("Failed to get requested DeviceInterfaceAlias"), 1);
    EXPECT_EQ(CountTraced("DeviceInterfaceAlias disabled."), 2);
    EXPECT_TRUE(Traced(5, "DeviceInterfaceAlias disabled."));

    // Without any other interface, the missing alias leaves nothing; one category asks for none.
    sim::Reset(MachineOf({noAlias}));
    EXPECT_EQ(Enumerate(), E_FAIL);
    sim::ClearLog();
    for (ULONG count : {0u, 1u}) {
        ASSERT_EQ(Enumerate(count, FALSE, FALSE), S_OK) << count;
        EXPECT_EQ(Filters().size(), 1u);
    }
    EXPECT_TRUE(sim::Log(sim::Op::InterfaceAlias).empty());
}

TEST_F(EnumFiltersTest, TwoDacsInOrderReplacedByASecondCallAndOneThatCannotBeOpened) {
    sim::Machine two = sim::DefaultMachine();
    two.interfaces.push_back(sim::Dac(1));
    sim::Reset(two);
    ASSERT_EQ(Enumerate(), S_OK);
    ASSERT_EQ(Filters().size(), 2u);
    EXPECT_TRUE(NamedAfter(Filters()[1], sim::Dac(1)));
    EXPECT_EQ(sim::OpenHandles(), 2u);
    // The second call closes the first call's filters before it opens them again.
    ASSERT_EQ(Enumerate(), S_OK);
    EXPECT_EQ(Filters().size(), 2u);
    EXPECT_EQ(sim::OpenHandles(), 2u);
    // A filter that cannot be opened is dropped, the rest kept.
    sim::Match open{};
    open.op = sim::Op::CreateFile;
    sim::InjectFault(open, {sim::Action::Fail, ERROR_ACCESS_DENIED, 0, 0, 1});
    ASSERT_EQ(Enumerate(), S_OK);
    ASSERT_EQ(Filters().size(), 1u);
    EXPECT_TRUE(NamedAfter(Filters()[0], sim::Dac(1)));
    const auto path = sim::DevicePath(sim::Dac(0), kKsCategoryAudio);
    EXPECT_TRUE(Traced(1, "Failed to create filter for " + std::string(path.begin(), path.end())));
}

TEST_F(EnumFiltersTest, FailuresOfTheSetupQueries) {
    sim::Match m{};
    m.op = sim::Op::ClassDevs;
    sim::InjectFault(m, {sim::Action::Fail, ERROR_INVALID_PARAMETER, 0, 0, 1});
    EXPECT_EQ(Enumerate(), E_FAIL);
    EXPECT_TRUE(Traced(4, "No devices found"));
    EXPECT_TRUE(sim::Log(sim::Op::DestroyInfoList).empty());
    for (sim::Op op : {sim::Op::InstanceId, sim::Op::InterfaceDetail}) {
        m.op = op;
        sim::InjectFault(m, {sim::Action::Fail, ERROR_INSUFFICIENT_BUFFER, 0, 0, 1});
        EXPECT_EQ(Enumerate(), E_FAIL);
    }
    EXPECT_EQ(Enumerate(), S_OK);  // the faults were one-offs

    const GUID nullCategory[] = {GUID_NULL};
    EXPECT_EQ(enumerator->EnumFilters(FILTER_TYPE_AUDIO_RENDER, nullCategory, 1, TRUE, FALSE, TRUE),
              E_FAIL);
    EXPECT_EQ(enumerator->EnumFilters(FILTER_TYPE_AUDIO_RENDER, nullptr, 2, TRUE, FALSE, TRUE),
              E_FAIL);
    EXPECT_TRUE(Filters().empty());

    // A path longer than the detail buffer is skipped.
    sim::Interface longPath = sim::Dac();
    longPath.referenceString = W(std::string(300, 'x'));
    sim::Reset(MachineOf({longPath, sim::Dac(1)}));
    ASSERT_EQ(Enumerate(), S_OK);
    EXPECT_EQ(Filters().size(), 1u);
}

TEST_F(EnumFiltersTest, EveryOutOfMemoryPath) {
    // Each allocation of a full enumeration, failed in turn, gives a clean failure or a
    // smaller result, and leaves nothing open.
    ASSERT_EQ(Enumerate(), S_OK);
    delete enumerator;
    enumerator = nullptr;
    const unsigned long before = alloc_test::Calls();
    ASSERT_EQ(Enumerate(), S_OK);
    const unsigned long calls = alloc_test::Calls() - before;
    ASSERT_GT(calls, 3u);
    for (unsigned n = 1; n <= calls; ++n) {
        alloc_test::FailNth(n);
        const HRESULT hr = Enumerate();
        alloc_test::Reset();
        EXPECT_TRUE(hr == S_OK || hr == E_FAIL || hr == E_OUTOFMEMORY) << n;
        if (FAILED(hr)) {
            EXPECT_TRUE(Filters().empty()) << n;
        }
    }
    // The detail buffer is the first allocation of an interface.
    alloc_test::FailNth(1);
    EXPECT_EQ(Enumerate(), E_OUTOFMEMORY);
    EXPECT_TRUE(Traced(4, "Failed to allocate SP_DEVICE_INTERFACE_DETAIL_DATA structure"));
    EXPECT_EQ(sim::Log(sim::Op::DestroyInfoList).size(), sim::Log(sim::Op::ClassDevs).size());
}

}  // namespace
}  // namespace ferox::test
