// The stored configuration and alerts, and their publication, on a private stand-in queue manager:
// real units of work (a backout takes a save away and raises its flag again), the reload at
// connect, a message in a foreign encoding, a full data queue, and subscribers of the alert topic
// across a restart of the queue manager.
#include <memory>
#include <string>
#include <vector>

#include "alerts_testing.h"
#include "miniqm/qm_fixture.h"
#include "testing/built_paths.h"
#include "testing/mqi_wrap.h"

namespace {

using Lines = std::vector<std::string>;
constexpr const char *kDataQueue = "HOLVA.ZUNT.DATA.QUEUE";

using Stored = zt::QueueMessage;

class StoreQmTest : public at::AlertTest {
protected:
    StoreQmTest() : qm_("QM1") {}

    void SetUp() override {
        at::AlertTest::SetUp();
        ASSERT_TRUE(qm_.ok());
        ASSERT_EQ(MQLoadLibrary(MINIQM_MQM_LIBRARY, &raw_), 0);
        ASSERT_EQ(
            qm_.mqsc(std::string("DEFINE QLOCAL(") + kDataQueue + ") MAXDEPTH(100000) MAXMSGL(4194304)\n"),
            0);
        wrap_ = std::make_unique<zt::MqiWrapper>(raw_);
        ASSERT_TRUE(connect());
        errors().clear();
        evStreamGetHooks()->reportMQError = [](EvStreamIo *, const char *text, int32_t) {
            errors().push_back(text);
        };
        cfgInstall();
        evDataQueueCondition = 0;
    }
    void TearDown() override {
        disconnect(&hconn_);
        disconnect(&publisher_);
        disconnect(&subscriber_);
        evStreamGetHooks()->reportMQError = nullptr;
        at::AlertTest::TearDown();
        wrap_.reset();
    }
    static Lines &errors() {
        static Lines e;
        return e;
    }

    bool connect() {
        MQCHAR48 name;
        qmt::setText(name, 48, "QM1");
        MQLONG cc = 0, rc = 0;
        wrap_->table()->MQCONN(name, &hconn_, &cc, &rc);
        MQOD od = MQOD_DEFAULT;
        qmt::setText(od.ObjectName, 48, kDataQueue);
        wrap_->table()->MQOPEN(hconn_, &od, MQOO_INPUT_SHARED | MQOO_OUTPUT | MQOO_BROWSE | MQOO_INQUIRE,
                               &hobj_, &cc, &rc);
        io_ = EvStreamIo{wrap_->table(), hconn_, hobj_, 0, 100, io_.unit + 1};
        return cc == MQCC_OK;
    }
    void disconnect(MQHCONN *h) {
        MQLONG cc = 0, rc = 0;
        if (*h == MQHC_UNUSABLE_HCONN) return;
        raw_.MQBACK(*h, &cc, &rc);  // a disconnect would commit what a test left open
        raw_.MQDISC(h, &cc, &rc);
        *h = MQHC_UNUSABLE_HCONN;
    }
    void commit() {
        MQLONG cc = 0, rc = 0;
        raw_.MQCMIT(hconn_, &cc, &rc);
        ASSERT_EQ(cc, MQCC_OK) << rc;
        evCfgUowCommitted(&io_);
        evStreamUowCommitted(&io_);
    }
    void backOut() {
        MQLONG cc = 0, rc = 0;
        raw_.MQBACK(hconn_, &cc, &rc);
        evCfgUowBackedOut(&io_);
        evStreamUowBackedOut(&io_);
    }
    int save() {
        char text[EV_CONFIG_TEXT] = "";
        return evCfgSave(&io_, text);
    }
    // The memory drop of a reconnect, then the configuration and alert loads.
    int reload() {
        evAlertFreeAll();
        cfgFreeModel(1);
        return evCfgLoad(&io_) && evAlertLoad(&io_);
    }
    // The committed messages of a kind, browsed in order.
    std::vector<Stored> messages(uint8_t kind) {
        std::vector<Stored> out;
        for (zt::QueueMessage &m : zt::queueMessages(&raw_, hconn_, kDataQueue, true, 1 << 20))
            if (m.md.CorrelId[0] == kind) out.push_back(std::move(m));
        return out;
    }
    void rawPut(uint8_t kind, const std::vector<uint8_t> &data, MQLONG encoding) {
        MQMD md = MQMD_DEFAULT;
        std::memset(md.CorrelId, 0, sizeof md.CorrelId);
        md.CorrelId[0] = kind;
        md.Encoding = encoding;
        std::memcpy(md.Format, MQFMT_PCF, 8);
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_NO_SYNCPOINT;
        MQLONG cc = 0, rc = 0;
        raw_.MQPUT(hconn_, hobj_, &md, &pmo, static_cast<MQLONG>(data.size()),
                   const_cast<uint8_t *>(data.data()), &cc, &rc);
        ASSERT_EQ(cc, MQCC_OK) << rc;
    }

    qmt::QmServer qm_;
    MQIFunctionTable raw_{};
    std::unique_ptr<zt::MqiWrapper> wrap_;
    MQHCONN hconn_ = MQHC_UNUSABLE_HCONN, publisher_ = MQHC_UNUSABLE_HCONN, subscriber_ = MQHC_UNUSABLE_HCONN;
    MQHOBJ hobj_ = MQHO_UNUSABLE_HOBJ;
    EvStreamIo io_{};
};

TEST_F(StoreQmTest, AnEmptyDataQueueGivesTheDefaultQueuesAndOneConfigurationMessage) {
    ASSERT_EQ(reload(), 1);
    EXPECT_EQ(CSTreeNumber(evEventQueueTree), 9u);
    EXPECT_EQ(evConfigLoadedChanged.load(), 1);
    ASSERT_EQ(save(), 1);
    commit();
    std::vector<Stored> m = messages(EV_DQ_KIND_CONFIG);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].md.Persistence, MQPER_PERSISTENT);
    EXPECT_EQ(m[0].md.MsgType, MQMT_DATAGRAM);
    EXPECT_EQ(m[0].md.Encoding, 546);
    EXPECT_EQ(m[0].md.Expiry, MQEI_UNLIMITED);
    EXPECT_EQ(std::string(m[0].md.Format, 8), "MQPCF   ");
    EXPECT_EQ(at::dumpPcf(m[0].data).size(), 20u + 9 * 9);  // the settings and nine queue groups
}

// Fault 6: a save whose unit backs out is not on the queue, so its flag must be raised again; and
// what that unit made is gone after the reload.
TEST_F(StoreQmTest, ASaveBackedOutLeavesTheOldMessageAndItsFlagAndTheReloadForgetsItsWork) {
    ASSERT_NE(evStreamDefine("KEEP", -1, STREAM_TYPE_EVENTS, 0, 0), nullptr);
    ASSERT_EQ(save(), 1);
    commit();
    const std::vector<uint8_t> old = messages(EV_DQ_KIND_CONFIG).at(0).data;

    ASSERT_NE(evStreamDefine("GONE", -1, STREAM_TYPE_EVENTS, 0, 0), nullptr);
    ASSERT_NE(evCreateEmitterDef("GONE.EM", -1), nullptr);
    at::add({.text = "gone too"}, 0);
    ASSERT_EQ(save(), 1);
    char text[EV_CONFIG_TEXT] = "";
    ASSERT_EQ(evAlertSave(&io_, text), 1) << text;
    EXPECT_EQ(evConfigChanged.load(), 0);
    EXPECT_EQ(evAlertsChanged.load(), 0);
    backOut();
    EXPECT_EQ(evConfigChanged.load(), 1);
    EXPECT_EQ(evAlertsChanged.load(), 1);
    std::vector<Stored> m = messages(EV_DQ_KIND_CONFIG);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].data, old);
    EXPECT_TRUE(messages(EV_DQ_KIND_ALERTS).empty());

    ASSERT_EQ(reload(), 1);
    EXPECT_NE(evStreamDefFind("KEEP", -1, STREAM_TYPE_EVENTS, nullptr), nullptr);
    EXPECT_EQ(evStreamDefFind("GONE", -1, STREAM_TYPE_EVENTS, nullptr), nullptr);
    EXPECT_EQ(evFindEmitterDef("GONE.EM", -1), nullptr);
    EXPECT_TRUE(at::listed().empty());
}

TEST_F(StoreQmTest, TwoSavesLeaveOneMessageInOneUnitOrTwo) {
    ASSERT_EQ(save(), 1);
    commit();
    ASSERT_EQ(save(), 1);
    commit();
    EXPECT_EQ(messages(EV_DQ_KIND_CONFIG).size(), 1u);
    // The second save of a unit cannot see the first one's message: that unit commits first.
    ASSERT_EQ(save(), 1);
    ASSERT_NE(evStreamDefine("LATER", -1, STREAM_TYPE_EVENTS, 0, 0), nullptr);
    ASSERT_EQ(save(), 1);
    commit();
    std::vector<Stored> m = messages(EV_DQ_KIND_CONFIG);
    ASSERT_EQ(m.size(), 1u);
    ASSERT_EQ(reload(), 1);
    EXPECT_NE(evStreamDefFind("LATER", -1, STREAM_TYPE_EVENTS, nullptr), nullptr);
}

TEST_F(StoreQmTest, AMessageInAnotherEncodingEndsTheProgramAndStays) {
    ASSERT_EQ(save(), 1);
    commit();
    std::vector<uint8_t> data = messages(EV_DQ_KIND_CONFIG).at(0).data;
    MQLONG cc = 0, rc = 0, length = 0;
    MQMD md = MQMD_DEFAULT;
    md.CorrelId[0] = EV_DQ_KIND_CONFIG;
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Options = MQGMO_NO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;
    char none = 0;
    std::memset(md.CorrelId, 0, sizeof md.CorrelId);
    md.CorrelId[0] = EV_DQ_KIND_CONFIG;
    raw_.MQGET(hconn_, hobj_, &md, &gmo, 0, &none, &length, &cc, &rc);
    rawPut(EV_DQ_KIND_CONFIG, data, 273);

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(reload(), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("HOLVA.ZUNT.DATA.QUEUE message data does not appear to be in the correct format"),
              std::string::npos);
    EXPECT_EQ(evEndFlag.load(), 1);
    EXPECT_EQ(messages(EV_DQ_KIND_CONFIG).size(), 1u);
}

TEST_F(StoreQmTest, AFullDataQueueFailsTheSaveAndKeepsItsFlag) {
    evConfigChanged = 1;
    wrap_->failAt(zt::MqVerb::MQPUT, 1, MQRC_Q_FULL);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(save(), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string reason = std::string("RC(2053) ") + evReasonText(MQRC_Q_FULL);
    EXPECT_EQ(errors(), Lines{"Error saving configuration " + reason});
    EXPECT_NE(out.find("Error updating configuration " + reason), std::string::npos);
    EXPECT_NE(evDataQueueCondition.load() & EV_DQ_DEPTH_HIGH, 0u);
    EXPECT_EQ(evConfigChanged.load(), 1);
    backOut();
    EXPECT_TRUE(messages(EV_DQ_KIND_CONFIG).empty());
}

// ---- Publication ----

class PublishQmTest : public StoreQmTest {
protected:
    // A connection to publish on (set C's EVENT connection) and a managed subscription.
    void connectBoth() {
        MQCHAR48 name;
        qmt::setText(name, 48, "QM1");
        MQCNO cno = MQCNO_DEFAULT;
        cno.Options = MQCNO_HANDLE_SHARE_BLOCK;  // a second connection of this thread
        MQLONG cc = 0, rc = 0;
        raw_.MQCONNX(name, &cno, &publisher_, &cc, &rc);
        ASSERT_EQ(cc, MQCC_OK) << rc;
        raw_.MQCONNX(name, &cno, &subscriber_, &cc, &rc);
        ASSERT_EQ(cc, MQCC_OK) << rc;
        MQSD sd = MQSD_DEFAULT;
        sd.Options = MQSO_CREATE | MQSO_MANAGED | MQSO_NON_DURABLE;
        sd.ObjectString.VSPtr = const_cast<char *>(EV_ALERT_TOPIC);
        sd.ObjectString.VSLength = static_cast<MQLONG>(std::strlen(EV_ALERT_TOPIC));
        subQueue_ = MQHO_NONE;
        MQHOBJ hsub = MQHO_NONE;
        raw_.MQSUB(subscriber_, &sd, &subQueue_, &hsub, &cc, &rc);
        ASSERT_EQ(cc, MQCC_OK) << rc;
        target_.mq = &raw_;
        target_.hconn = publisher_;
        target_.connectCount = target_.connectCount + 1;
    }
    // The next publication, once the alerts are committed: its command and its "Severity" property.
    std::string next() {
        at::committed();
        MQLONG cc = 0, rc = 0;
        MQHMSG hmsg = MQHM_UNUSABLE_HMSG;
        MQCMHO cmho = MQCMHO_DEFAULT;
        raw_.MQCRTMH(subscriber_, &cmho, &hmsg, &cc, &rc);
        MQMD md = MQMD_DEFAULT;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Version = MQGMO_VERSION_4;
        gmo.Options = MQGMO_NO_SYNCPOINT | MQGMO_WAIT;
        gmo.WaitInterval = 2000;
        gmo.MsgHandle = hmsg;
        std::vector<uint8_t> buffer(65536);
        MQLONG length = 0;
        raw_.MQGET(subscriber_, subQueue_, &md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(),
                   &length, &cc, &rc);
        std::string out = cc == MQCC_FAILED
                              ? "none " + std::to_string(rc)
                              : std::to_string(mqiGetI32(buffer.data(), offsetof(MQCFH, Command)));
        if (cc != MQCC_FAILED) {
            MQIMPO impo = MQIMPO_DEFAULT;
            MQCHARV nv = qmt::charv("Severity");
            MQPD pd = MQPD_DEFAULT;
            MQLONG type = MQTYPE_AS_SET, value = 0, dataLength = 0;
            raw_.MQINQMP(subscriber_, hmsg, &impo, &nv, &pd, &type, 4, &value, &dataLength, &cc, &rc);
            out +=
                cc == MQCC_OK && type == MQTYPE_INT32 ? " Severity=" + std::to_string(value) : " no property";
        }
        MQDMHO dmho = MQDMHO_DEFAULT;
        raw_.MQDLTMH(subscriber_, &hmsg, &dmho, &cc, &rc);
        return out;
    }
    MQHOBJ subQueue_ = MQHO_NONE;
};

// Fault 2: after a restart of the queue manager the topic is opened again on the new connection.
TEST_F(PublishQmTest, SubscribersGetAdditionsAndRemovalsAlsoAfterARestart) {
    connectBoth();
    at::add({.severity = EV_SEVERITY_ERROR, .text = "to all"});
    EXPECT_EQ(next(), "9021 Severity=30");
    EXPECT_EQ(evAlertRemoveMatching("to all", -1, nullptr, 0, nullptr, 0, nullptr, 0, 0), 1);
    EXPECT_EQ(next(), "9014 Severity=30");

    publisher_ = subscriber_ = MQHC_UNUSABLE_HCONN;  // broken by the restart
    hconn_ = MQHC_UNUSABLE_HCONN;
    ASSERT_TRUE(qm_.stop());
    ASSERT_TRUE(qm_.start());
    connectBoth();
    at::add({.severity = EV_SEVERITY_SEVERE, .text = "still heard"});
    EXPECT_EQ(next(), "9021 Severity=40");
    EXPECT_TRUE(errors().empty()) << errors().front();
}

}  // namespace
