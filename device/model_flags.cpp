// Model-family flags of CVESKMFPDevice and the identifier match behind them.
#include "device/model_flags.h"

#include <initializer_list>
#include <iterator>

#include "device/mfp_device.h"

namespace vesk::device {

namespace {

const wchar_t* const kPrefixes[] = {L"1.3.6.1.4.1.59731.1.1.1.2.1.",
                                    L"1.3.6.1.4.1.59731.1.2.1.2.1."};

struct Range {
    int first;
    int last;
};

struct FamilyRule {
    ModelFamily family;
    int length;  // leading characters compared: the prefix (28) and the model digits
    std::initializer_list<Range> ranges;
};

const FamilyRule kRules[] = {
    {ModelFamily::kDova, 30, {{39, 41}}},
    {ModelFamily::kRook, 30, {{37, 38}}},
    {ModelFamily::kFenn, 30, {{63, 66}}},
    {ModelFamily::kMarlBK, 30, {{70, 73}}},
    {ModelFamily::kHalcyBK, 31, {{101, 102}, {139, 141}}},
    {ModelFamily::kVantaBK, 31, {{108, 112}, {122, 124}, {156, 159}}},
    {ModelFamily::kUlmoS, 33, {{10017, 10018}}},
    {ModelFamily::kVantaSBK2nd, 31, {{165, 169}}},
    {ModelFamily::kBrioBKZPlus, 31, {{213, 213}}},
    {ModelFamily::kBrioBKZX012, 31, {{207, 211}}},
    {ModelFamily::kTesselBK01, 31, {{214, 215}}},
    {ModelFamily::kPykeMLK, 31, {{193, 196}}},
    {ModelFamily::kRawThumbnail, 30, {{37, 41}}},
};

}  // namespace

int IsModelOf(const CString& strDevId, ModelFamily family) {
    for (const FamilyRule& rule : kRules) {
        if (rule.family != family)
            continue;
        const CString head = strDevId.Left(rule.length);
        for (const Range& range : rule.ranges) {
            for (int n = range.first; n <= range.last; ++n) {
                for (const wchar_t* prefix : kPrefixes) {
                    CString candidate;
                    candidate.Format(L"%s%d", prefix, n);
                    if (head == candidate)
                        return 1;
                }
            }
        }
        return 0;
    }
    return 0;
}

}  // namespace vesk::device

using vesk::device::IsModelOf;
using vesk::device::ModelFamily;

int CVESKMFPDevice::ISDovaMioption() {
    return IsModelOf(m_strDevId, ModelFamily::kDova);
}
int CVESKMFPDevice::ISRookDevice() {
    return IsModelOf(m_strDevId, ModelFamily::kRook);
}
int CVESKMFPDevice::ISFennDevice() {
    return IsModelOf(m_strDevId, ModelFamily::kFenn);
}
int CVESKMFPDevice::IsMarlBKDevice() {
    return IsModelOf(m_strDevId, ModelFamily::kMarlBK);
}
int CVESKMFPDevice::IsHalcyBKDevice() {
    return IsModelOf(m_strDevId, ModelFamily::kHalcyBK);
}
int CVESKMFPDevice::IsVantaBKDevice() {
    return IsModelOf(m_strDevId, ModelFamily::kVantaBK);
}
int CVESKMFPDevice::IsUlmoSDevice() {
    return IsModelOf(m_strDevId, ModelFamily::kUlmoS);
}
int CVESKMFPDevice::IsVantaSBK2ndDevice() {
    return IsModelOf(m_strDevId, ModelFamily::kVantaSBK2nd);
}
int CVESKMFPDevice::IsBrioBKZPlusDevice() {
    return IsModelOf(m_strDevId, ModelFamily::kBrioBKZPlus);
}
int CVESKMFPDevice::IsBrioBKZX012Device() {
    return IsModelOf(m_strDevId, ModelFamily::kBrioBKZX012);
}
int CVESKMFPDevice::IsTesselBK01MFPDevice() {
    return IsModelOf(m_strDevId, ModelFamily::kTesselBK01);
}
int CVESKMFPDevice::IsPykeMLKDevice() {
    return IsModelOf(m_strDevId, ModelFamily::kPykeMLK);
}

void CVESKMFPDevice::SetThumbnailDataFormat() {
    m_nThumbnailDataFormat = IsModelOf(m_strDevId, ModelFamily::kRawThumbnail);
}

// A family's flag is only read from a device whose version knows the family; an
// older version keeps what an earlier connect found.
void CVESKMFPDevice::ReadModelFlags(int nMajor, int nMinor) {
    const bool from31 = nMajor > 3 || (nMajor == 3 && nMinor >= 1);
    const bool from34 = nMajor > 3 || (nMajor == 3 && nMinor >= 4);
    const bool from40 = nMajor >= 4;
    if (from31) {
        m_nDovaMioptionFlg = ISDovaMioption();
        m_nRookMioptionFlg = ISRookDevice();
    }
    if (from34) {
        m_nFennFlg = ISFennDevice();
        m_nMarlBKFlg = IsMarlBKDevice();
    }
    if (from40) {
        m_nHalcyBKFlg = IsHalcyBKDevice();
        m_nVantaBKFlg = IsVantaBKDevice();
        m_nUlmoSFlg = IsUlmoSDevice();
        m_nVantaSBK2ndFlg = IsVantaSBK2ndDevice();
        m_nBrioBKZPlusFlg = IsBrioBKZPlusDevice();
        m_nBrioBKZX012Flg = IsBrioBKZX012Device();
        m_nTesselBK01MFPFlg = IsTesselBK01MFPDevice();
        m_nPykeMLKFlg = IsPykeMLKDevice();
    }
}
