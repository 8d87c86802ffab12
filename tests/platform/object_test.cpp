#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/collections.h"
#include "platform/object.h"
#include "support/alloc_failure.h"

namespace {

class TestShape : public CObject {
    DECLARE_DYNAMIC(TestShape)

public:
    virtual int Sides() const = 0;
};
IMPLEMENT_DYNAMIC(TestShape, CObject)

class TestSquare : public TestShape {
    DECLARE_DYNCREATE(TestSquare)

public:
    int Sides() const override { return 4; }
};
IMPLEMENT_DYNCREATE(TestSquare, TestShape)

// Allocates in its constructor, so creation can fail after the object's own memory.
class TestTiledSquare : public TestSquare {
    DECLARE_DYNCREATE(TestTiledSquare)

public:
    std::vector<int> tiles = std::vector<int>(64, 1);
};
IMPLEMENT_DYNCREATE(TestTiledSquare, TestSquare);  // a trailing semicolon is accepted too

// No macros of its own: it reports its nearest declared class, as in MFC.
class TestPlainSquare : public TestSquare {};

class TestUnrelated : public CObject {
    DECLARE_DYNCREATE(TestUnrelated)
};
IMPLEMENT_DYNCREATE(TestUnrelated, CObject)

// The base chain is walked by IsKindOf below; a class without DYNCREATE has no
// creator (CreatesObjectsOfCreatableClassesOnly).
TEST(RuntimeClass, DescribesTheClass) {
    const CRuntimeClass* square = RUNTIME_CLASS(TestSquare);
    EXPECT_STREQ(square->m_lpszClassName, "TestSquare");
    EXPECT_EQ(square->m_nObjectSize, static_cast<int>(sizeof(TestSquare)));
    EXPECT_EQ(square->m_wSchema, 0xFFFFu);
    EXPECT_EQ(RUNTIME_CLASS(CObject)->m_pBaseClass, nullptr);
    EXPECT_FALSE(TestSquare().IsSerializable());
}

TEST(RuntimeClass, ObjectsReportTheirMostDerivedDeclaredClass) {
    std::unique_ptr<CObject> tiled(new TestTiledSquare);
    std::unique_ptr<CObject> plain(new TestPlainSquare);
    EXPECT_EQ(tiled->GetRuntimeClass(), RUNTIME_CLASS(TestTiledSquare));
    EXPECT_EQ(plain->GetRuntimeClass(), RUNTIME_CLASS(TestSquare));

    for (const CRuntimeClass* base : {RUNTIME_CLASS(TestTiledSquare), RUNTIME_CLASS(TestSquare),
                                      RUNTIME_CLASS(TestShape), RUNTIME_CLASS(CObject)})
        EXPECT_TRUE(tiled->IsKindOf(base)) << base->m_lpszClassName;
    EXPECT_FALSE(tiled->IsKindOf(RUNTIME_CLASS(TestUnrelated)));
    EXPECT_FALSE(tiled->IsKindOf(nullptr));
    EXPECT_FALSE(plain->IsKindOf(RUNTIME_CLASS(TestTiledSquare)));

    EXPECT_EQ(DYNAMIC_DOWNCAST(TestSquare, tiled.get()), tiled.get());
    EXPECT_EQ(DYNAMIC_DOWNCAST(TestUnrelated, tiled.get()), nullptr);
    EXPECT_EQ(DYNAMIC_DOWNCAST(TestSquare, static_cast<CObject*>(nullptr)), nullptr);
}

TEST(RuntimeClass, CreatesObjectsOfCreatableClassesOnly) {
    std::unique_ptr<CObject> made(RUNTIME_CLASS(TestSquare)->CreateObject());
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->GetRuntimeClass(), RUNTIME_CLASS(TestSquare));
    EXPECT_EQ(static_cast<TestShape*>(made.get())->Sides(), 4);

    EXPECT_EQ(RUNTIME_CLASS(TestShape)->CreateObject(), nullptr);
    EXPECT_EQ(RUNTIME_CLASS(CObject)->CreateObject(), nullptr);
    EXPECT_EQ(RUNTIME_CLASS(CObList)->CreateObject(), nullptr);
}

TEST(RuntimeClass, CreatesByName) {
    EXPECT_EQ(CRuntimeClass::FromName("TestTiledSquare"), RUNTIME_CLASS(TestTiledSquare));
    EXPECT_EQ(CRuntimeClass::FromName(L"TestTiledSquare"), RUNTIME_CLASS(TestTiledSquare));
    EXPECT_EQ(CRuntimeClass::FromName("CStringArray"), RUNTIME_CLASS(CStringArray));

    std::unique_ptr<CObject> byNarrow(CRuntimeClass::CreateObject("TestTiledSquare"));
    std::unique_ptr<CObject> byWide(CRuntimeClass::CreateObject(L"TestUnrelated"));
    ASSERT_NE(byNarrow, nullptr);
    ASSERT_NE(byWide, nullptr);
    EXPECT_EQ(byNarrow->GetRuntimeClass(), RUNTIME_CLASS(TestTiledSquare));
    EXPECT_EQ(static_cast<TestTiledSquare*>(byNarrow.get())->tiles.size(), 64u);
    EXPECT_EQ(byWide->GetRuntimeClass(), RUNTIME_CLASS(TestUnrelated));

    // Only exact names: no prefixes, no case folding, nothing for null.
    for (const char* name : {"TestTiled", "TestTiledSquareX", "testtiledsquare"})
        EXPECT_EQ(CRuntimeClass::FromName(name), nullptr) << name;
    EXPECT_EQ(CRuntimeClass::FromName(L"testtiledsquare"), nullptr);
    EXPECT_EQ(CRuntimeClass::FromName(static_cast<LPCSTR>(nullptr)), nullptr);
    EXPECT_EQ(CRuntimeClass::CreateObject(L"NoSuchClass"), nullptr);
    // Registered but not creatable.
    EXPECT_NE(CRuntimeClass::FromName("TestShape"), nullptr);
    EXPECT_EQ(CRuntimeClass::CreateObject("TestShape"), nullptr);
    // A wide name that only matches after truncating characters to bytes.
    EXPECT_EQ(CRuntimeClass::FromName(L"Test\u0155nrelated"), nullptr);
}

TEST(RuntimeClass, RegistrationEndsWithItsOwner) {
    CRuntimeClass local = {"TestLocalClass", 1, 0xFFFF, nullptr, RUNTIME_CLASS(CObject), nullptr};
    {
        vesk::detail::RuntimeClassRegistration reg(&local);
        EXPECT_EQ(CRuntimeClass::FromName("TestLocalClass"), &local);
        // A second registration of the same class neither duplicates nor unlinks it.
        { vesk::detail::RuntimeClassRegistration again(&local); }
        EXPECT_EQ(CRuntimeClass::FromName("TestLocalClass"), &local);
    }
    EXPECT_EQ(CRuntimeClass::FromName("TestLocalClass"), nullptr);
    EXPECT_NE(CRuntimeClass::FromName("TestSquare"), nullptr);
}

TEST(RuntimeClass, CreationThatRunsOutOfMemoryGivesNull) {
    // Each allocation the construction makes fails in turn: the object itself, then
    // the vector in its constructor. Neither throws out nor leaks.
    const int runs = vesk::test::ForEachAllocationFailure(
        [] {
            std::unique_ptr<CObject> p(RUNTIME_CLASS(TestTiledSquare)->CreateObject());
            return p ? 1 : 0;
        },
        [](const vesk::test::AllocationFailureRun& run) {
            EXPECT_EQ(run.result, run.failed ? 0 : 1) << "failing allocation " << run.failAt;
            EXPECT_EQ(run.leaked, 0) << "failing allocation " << run.failAt;
        });
    EXPECT_EQ(runs, 3);
}

}  // namespace
