// Recognition of the device families from the identifier, and the flags a device
// item keeps from the versions its connects reported.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/item_fixture.h"
#include "device/model_flags.h"
#include "platform/charset.h"

namespace {

using vesk::device::IsModelOf;
using vesk::device::ModelFamily;

const std::wstring kFirst = L"1.3.6.1.4.1.59731.1.1.1.2.1.";
const std::wstring kSecond = L"1.3.6.1.4.1.59731.1.2.1.2.1.";

CString Id(const std::wstring& prefix, int model, const std::wstring& rest = L".1") {
    return CString(prefix + std::to_wstring(model) + rest);
}

struct FamilyRanges {
    ModelFamily family;
    const char* name;
    std::vector<std::pair<int, int>> ranges;
};

const FamilyRanges kTable[] = {
    {ModelFamily::kDova, "Dova", {{39, 41}}},
    {ModelFamily::kRook, "Rook", {{37, 38}}},
    {ModelFamily::kFenn, "Fenn", {{63, 66}}},
    {ModelFamily::kMarlBK, "Marl", {{70, 73}}},
    {ModelFamily::kHalcyBK, "Halcy", {{101, 102}, {139, 141}}},
    {ModelFamily::kVantaBK, "Vanta", {{108, 112}, {122, 124}, {156, 159}}},
    {ModelFamily::kUlmoS, "Ulmo", {{10017, 10018}}},
    {ModelFamily::kVantaSBK2nd, "Vanta 2nd", {{165, 169}}},
    {ModelFamily::kBrioBKZPlus, "Brio plus", {{213, 213}}},
    {ModelFamily::kBrioBKZX012, "Brio X012", {{207, 211}}},
    {ModelFamily::kTesselBK01, "Tessel", {{214, 215}}},
    {ModelFamily::kPykeMLK, "Pyke", {{193, 196}}},
    {ModelFamily::kRawThumbnail, "raw thumbnails", {{37, 41}}},
};

TEST(ModelFamilies, EveryRangeMatchesAtItsEndsAndNotOnePast) {
    for (const FamilyRanges& f : kTable) {
        SCOPED_TRACE(f.name);
        for (const auto& [first, last] : f.ranges) {
            for (const std::wstring& prefix : {kFirst, kSecond}) {
                EXPECT_EQ(IsModelOf(Id(prefix, first), f.family), 1) << first;
                EXPECT_EQ(IsModelOf(Id(prefix, last), f.family), 1) << last;
                EXPECT_EQ(IsModelOf(Id(prefix, first - 1), f.family), 0) << first - 1;
                EXPECT_EQ(IsModelOf(Id(prefix, last + 1), f.family), 0) << last + 1;
            }
        }
    }
}

TEST(ModelFamilies, OnlyThePrefixAndTheModelDigitsCount) {
    // "...391" starts like "...39": the digits after the model's length do not count.
    EXPECT_EQ(IsModelOf(Id(kFirst, 391), ModelFamily::kDova), 1);
    EXPECT_EQ(IsModelOf(Id(kSecond, 40, L""), ModelFamily::kDova), 1);
    EXPECT_EQ(IsModelOf(Id(kFirst, 2135, L".7.8"), ModelFamily::kBrioBKZPlus), 1);
    EXPECT_EQ(IsModelOf(Id(kFirst, 100171), ModelFamily::kUlmoS), 1);
    // Shorter than the prefix and model: no match.
    EXPECT_EQ(IsModelOf(Id(kFirst, 3, L""), ModelFamily::kDova), 0);
    EXPECT_EQ(IsModelOf(CString(L""), ModelFamily::kDova), 0);
    // A third family, a missing dot, leading text: no match.
    EXPECT_EQ(IsModelOf(Id(L"1.3.6.1.4.1.59731.1.3.1.2.1.", 40), ModelFamily::kDova), 0);
    EXPECT_EQ(IsModelOf(Id(L"1.3.6.1.4.1.59731.1.1.1.2.1", 40), ModelFamily::kDova), 0);
    EXPECT_EQ(IsModelOf(Id(L" " + kFirst, 40), ModelFamily::kDova), 0);
    // A two-digit model of a three-digit family is no match: "...21" is not "...213".
    EXPECT_EQ(IsModelOf(Id(kFirst, 21), ModelFamily::kBrioBKZPlus), 0);
}

class ModelFlags : public vesk::test::ItemFixture {
protected:
    // Connects d to a new emulated device reporting this version and identifier.
    void ConnectTo(CVESKMFPDevice* d, int major, int minor, const std::string& identifier) {
        d->SetPortNo(Emulator({major, minor}, [&](mfpsim::DeviceState& st) {
                         st.identity.identifier = identifier;
                     }).Port());
        ASSERT_EQ(d->Connect(nullptr, L""), 1);
        ASSERT_EQ(d->Disconnect(), 1);
    }
};

TEST_F(ModelFlags, FlagsComeFromVersionsThatKnowTheFamily) {
    CVESKMFPDevice* d = AddDevice(1, ClosedPort());
    // Dova and Rook memory options, Fenn, Marl, Vanta, Brio plus, thumbnail format.
    auto flags = [d] {
        return std::vector<int>{
            d->GetDovaMioptionFlg(),    d->GetRookMioptionFlg(), d->GetFennFlg(),
            d->GetMarlBKFlg(),          d->GetVantaBKFlg(),      d->GetBrioBKZPlusFlg(),
            d->GetThumbnailDataFormat()};
    };
    using F = std::vector<int>;
    EXPECT_EQ(flags(), (F{0, 0, 0, 0, 0, 0, 0}));

    // The second family with 40 and further components: the memory-option flag and
    // the raw thumbnail format.
    ConnectTo(d, 3, 1, vesk::WideToUtf8((kSecond + L"40.2.3").c_str()));
    EXPECT_EQ(flags(), (F{1, 0, 0, 0, 0, 0, 1}));
    // Model 213 on 4.0: the Brio flag; the memory-option flag of the last device goes.
    ConnectTo(d, 4, 0, vesk::test::ModelId(213));
    EXPECT_EQ(flags(), (F{0, 0, 0, 0, 0, 1, 0}));
    // 3.5 knows Fenn and Marl but not the 4.x families: Brio stays as it was.
    ConnectTo(d, 3, 5, vesk::test::ModelId(64));
    EXPECT_EQ(flags(), (F{0, 0, 1, 0, 0, 1, 0}));
    // 3.0 knows none: every flag stays, while the thumbnail format follows each device.
    ConnectTo(d, 3, 0, vesk::test::ModelId(38));
    EXPECT_EQ(flags(), (F{0, 0, 1, 0, 0, 1, 1}));
    // 4.11 reads them all again.
    ConnectTo(d, 4, 11, vesk::test::ModelId(71, true));
    EXPECT_EQ(flags(), (F{0, 0, 0, 1, 0, 0, 0}));
    ConnectTo(d, 4, 11, vesk::test::ModelId(110));
    EXPECT_EQ(flags(), (F{0, 0, 0, 0, 1, 0, 0}));
}

TEST_F(ModelFlags, EachFourXFamilyHasItsOwnFlag) {
    struct Case {
        int model;
        int (CVESKMFPDevice::*flag)();
    };
    const Case cases[] = {
        {101, &CVESKMFPDevice::GetHalcyBKFlg},       {156, &CVESKMFPDevice::GetVantaBKFlg},
        {10018, &CVESKMFPDevice::GetUlmoSFlg},       {165, &CVESKMFPDevice::GetVantaSBK2ndFlg},
        {213, &CVESKMFPDevice::GetBrioBKZPlusFlg},   {207, &CVESKMFPDevice::GetBrioBKZX012Flg},
        {215, &CVESKMFPDevice::GetTesselBK01MFPFlg}, {196, &CVESKMFPDevice::GetPykeMLKFlg},
        {73, &CVESKMFPDevice::GetMarlBKFlg},         {63, &CVESKMFPDevice::GetFennFlg},
        {37, &CVESKMFPDevice::GetRookMioptionFlg},   {41, &CVESKMFPDevice::GetDovaMioptionFlg},
    };
    CVESKMFPDevice* d = AddDevice(1, ClosedPort());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        ConnectTo(d, 4, 11, vesk::test::ModelId(c.model));
        int set = 0;
        for (const Case& other : cases)
            set += (d->*other.flag)();
        EXPECT_EQ((d->*c.flag)(), 1);
        EXPECT_EQ(set, 1);
    }
}

}  // namespace
