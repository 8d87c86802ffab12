// The client without a device: the factory's classes and what every call does before a
// session exists. Against a device: client_test.cpp.
#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <vector>

#include "support/data_table.h"
#include "support/loopback.h"
#include "support/sim_fixture.h"
#include "tcpcore/tcpcore.h"

namespace vesk::tcpcore {
namespace {

using test::ErrorOf;

TEST(TcpCoreFactory, MapsReportedVersionsToClassesAndNumbers) {
    for (const auto& c : test::DataInts("tcpcore/versions.tsv", "class")) {
        SCOPED_TRACE(testing::Message() << c[0] << "." << c[1]);
        CTcpCore factory;
        std::unique_ptr<CTcpCore> obj(factory.GetTcpCoreObject(c[0], c[1]));
        ASSERT_TRUE(obj);
        EXPECT_EQ(std::tuple(factory.GetTcpVersion(), obj->GetTcpVersion(),
                             dynamic_cast<CTcpCoreV31*>(obj.get()) != nullptr,
                             dynamic_cast<CTcpCoreV20*>(obj.get()) != nullptr),
                  std::tuple(c[2], c[2], c[3] == 1, c[3] == 0));
    }
    for (const auto& c : test::DataInts("tcpcore/versions.tsv", "none")) {
        CTcpCore factory;
        EXPECT_EQ(factory.GetTcpCoreObject(c[0], c[1]), nullptr) << c[0] << "." << c[1];
        EXPECT_EQ(factory.GetTcpVersion(), 0);
    }
    EXPECT_EQ(CTcpCoreV31DMiOP().GetTcpVersion(), 31);
}

TEST(TcpCoreClient, EverythingFailsCleanlyWithoutASession) {
    CTcpCoreV31 core;
    int v = 0, flag = 0;
    std::vector<tagUTIL_BOXINFO> boxes;
    EXPECT_EQ(core.GetBoxList(boxes), 0);
    EXPECT_EQ(ErrorOf(core).code, QTCP_ERR_NOT_CONNECTED);
    EXPECT_EQ(core.GetHDDCount(v), 0);
    EXPECT_EQ(core.BoxLogin(1, "", flag), 0);
    EXPECT_EQ(core.CreateBox(tagUTIL_BOXCREATEINFO{}, ""), -1);
    char buf[16];
    EXPECT_EQ(core.ReadDocument(buf, sizeof buf), -1);
    EXPECT_EQ(core.CloseDocument(1), 1);
    EXPECT_EQ(core.CloseDocument(0), 0);
    long ids[] = {1, 2, 3};
    EXPECT_EQ(core.OpenDocumentWithBind(ids, 0, 2), 0);
    EXPECT_EQ(core.OpenDocumentWithBind(nullptr, 3, 2), 0);
    EXPECT_EQ(ErrorOf(core).code, QTCP_ERR_ARGUMENT);
    EXPECT_EQ(core.Disconnect(1), 0);
    EXPECT_EQ(core.IsConnected(), 0);
    int user, account, pub;
    const int closed = test::ClosedLoopbackPort();
    EXPECT_EQ(core.Connect("127.0.0.1", closed, user, account, pub, nullptr), 0);
    EXPECT_EQ(ErrorOf(core).code, QTCP_ERR_NOT_INITIALIZED);
    EXPECT_EQ(core.Initialize(2, nullptr), 0);
    ASSERT_EQ(core.Initialize(0, nullptr), 1);
    EXPECT_EQ(core.Connect("127.0.0.1", closed, user, account, pub, nullptr), 0);
    EXPECT_EQ(ErrorOf(core).code, QTCP_ERR_CONNECT);
    int status = 0, colour = 0;
    EXPECT_EQ(core.ReconnectInfinite(status, colour), 0);
}

}  // namespace
}  // namespace vesk::tcpcore
