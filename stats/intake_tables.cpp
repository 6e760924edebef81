// Which MQ parameter of a statistics or accounting message becomes which stored parameter, family by
// family, in the order the stored record holds them. A list by persistence gives [np, p] from element
// 0; a list by object type has one value per MQOT, of which queue (1), namelist (2), process (3), queue
// manager (5) and topic (8) are kept; other lists are taken element by element.
#include <array>

#include "stats/intake.h"

namespace {

constexpr IntakeField make(int32_t stored, int32_t source, uint8_t element, uint8_t kind, uint8_t when,
                           uint8_t flags, uint16_t size = 0, int32_t timeId = 0) {
    return IntakeField{stored, source, timeId, element, kind, when, flags, size};
}
constexpr IntakeField text(int32_t id, uint16_t size) {
    return make(id, id, 0, INTAKE_STRING, INTAKE_ALWAYS, 0, size);
}
constexpr IntakeField bytes(int32_t id, uint16_t size) {
    return make(id, id, 0, INTAKE_BYTES, INTAKE_SET, 0, size);
}
// MQIA_COMMAND_LEVEL, and the channel type: written whatever they hold.
constexpr IntakeField always(int32_t id) {
    return make(id, id, 0, INTAKE_INT, INTAKE_ALWAYS, 0);
}
// A value that is not a counter (queue type, sequence number, ...): written when given.
constexpr IntakeField setting(int32_t id) {
    return make(id, id, 0, INTAKE_INT, INTAKE_SET, INTAKE_F_UNSET);
}
constexpr IntakeField count(int32_t stored, int32_t source, uint8_t element = 0) {
    return make(stored, source, element, INTAKE_INT, INTAKE_NONZERO, INTAKE_F_COUNTER);
}
constexpr IntakeField count64(int32_t stored, int32_t source, uint8_t element = 0) {
    return make(stored, source, element, INTAKE_INT64, INTAKE_NONZERO, INTAKE_F_COUNTER);
}
// A minimum, maximum or time on queue: 0 is a value, so it starts unset.
constexpr IntakeField extreme(int32_t stored, int32_t source, uint8_t element) {
    return make(stored, source, element, INTAKE_INT, INTAKE_SET, INTAKE_F_COUNTER | INTAKE_F_UNSET);
}
constexpr IntakeField extreme64(int32_t stored, int32_t source, uint8_t element) {
    return make(stored, source, element, INTAKE_INT64, INTAKE_SET, INTAKE_F_COUNTER | INTAKE_F_UNSET);
}
constexpr IntakeField when(int32_t stored, int32_t dateId, int32_t timeId) {
    return make(stored, dateId, 0, INTAKE_TIME, INTAKE_SET, INTAKE_F_UNSET, 0, timeId);
}

template <size_t... N>
constexpr auto join(const std::array<IntakeField, N> &...parts) {
    std::array<IntakeField, (N + ...)> out{};
    size_t at = 0;
    ((std::copy(parts.begin(), parts.end(), out.begin() + at), at += N), ...);
    return out;
}

// The two elements of a list by persistence.
constexpr std::array<IntakeField, 2> persistence(int32_t storedNP, int32_t source) {
    return {count(storedNP, source, 0), count(storedNP + 1, source, 1)};
}
constexpr std::array<IntakeField, 2> persistence64(int32_t storedNP, int32_t source) {
    return {count64(storedNP, source, 0), count64(storedNP + 1, source, 1)};
}
// Queue, namelist, process, queue manager and topic of a list by object type, the first n of them.
template <size_t N>
constexpr std::array<IntakeField, N> byObjectType(int32_t first, int32_t source) {
    constexpr uint8_t kTypes[] = {1, 2, 3, 5, 8};
    std::array<IntakeField, N> out{};
    for (size_t i = 0; i < N; i++) out[i] = count(first + static_cast<int32_t>(i), source, kTypes[i]);
    return out;
}
// The first n elements of a list, in list order.
template <size_t N>
constexpr std::array<IntakeField, N> elements(int32_t first, int32_t source) {
    std::array<IntakeField, N> out{};
    for (size_t i = 0; i < N; i++)
        out[i] = count(first + static_cast<int32_t>(i), source, static_cast<uint8_t>(i));
    return out;
}
constexpr std::array<IntakeField, 1> one(IntakeField field) {
    return {field};
}

template <size_t N>
constexpr uint32_t sizeOf(const std::array<IntakeField, N> &) {
    return N;
}

// ---- Queue statistics: each queue in a group 8011 ----

constexpr auto kStatQHead = std::to_array<IntakeField>({always(MQIA_COMMAND_LEVEL)});

constexpr auto kStatQObject = join(
    std::to_array<IntakeField>({text(MQCA_Q_NAME, 48), setting(MQIA_Q_TYPE), setting(MQIA_DEFINITION_TYPE)}),
    persistence(31003, MQIAMO_PUTS), persistence64(31011, MQIAMO64_PUT_BYTES),
    one(count(31005, MQIAMO_PUTS_FAILED)), persistence(31007, MQIAMO_PUT1S),
    one(count(31009, MQIAMO_PUT1S_FAILED)), persistence(31014, MQIAMO_GETS),
    one(count(31019, MQIAMO_GETS_FAILED)), persistence64(31017, MQIAMO64_GET_BYTES),
    persistence(31021, MQIAMO_BROWSES), one(count(31023, MQIAMO_BROWSES_FAILED)),
    persistence64(31025, MQIAMO64_BROWSE_BYTES),
    std::to_array<IntakeField>({count(31027, MQIAMO_MSGS_NOT_QUEUED), count(31028, MQIAMO_MSGS_EXPIRED),
                                count(31029, MQIAMO_MSGS_PURGED)}),
    persistence64(31000, MQIAMO_AVG_Q_TIME),
    // Unlike the documented counters (written when not 0): a depth of 0 is a depth, and a drained
    // queue's minimum depth is 0.
    std::to_array<IntakeField>(
        {extreme(31036, MQIAMO_Q_MIN_DEPTH, 0), extreme(31037, MQIAMO_Q_MAX_DEPTH, 0)}));

// ---- Channel statistics: each channel in a group 8012 ----

constexpr IntakeField narrowAverage(int32_t stored, int32_t source) {
    return make(stored, source, 0, INTAKE_INT64, INTAKE_NONZERO, INTAKE_F_COUNTER | INTAKE_F_NARROW);
}

constexpr auto kStatChlObject = std::to_array<IntakeField>({
    text(MQCACH_CHANNEL_NAME, 20),
    text(MQCA_REMOTE_Q_MGR_NAME, 48),
    text(MQCACH_CONNECTION_NAME, 264),
    always(MQIACH_CHANNEL_TYPE),
    count(31136, MQIAMO_MSGS),
    count64(31137, MQIAMO64_BYTES),
    count(31138, MQIAMO_NET_TIME_MIN),
    narrowAverage(31139, MQIAMO_NET_TIME_AVG),
    count(31140, MQIAMO_NET_TIME_MAX),
    count(31141, MQIAMO_EXIT_TIME_MIN),
    narrowAverage(31142, MQIAMO_EXIT_TIME_AVG),
    count(31143, MQIAMO_EXIT_TIME_MAX),
    count(31144, MQIAMO_FULL_BATCHES),
    count(31145, MQIAMO_INCOMPLETE_BATCHES),
    count(31146, MQIAMO_AVG_BATCH_SIZE),
    count(31147, MQIAMO_PUT_RETRIES),
});

// ---- The MQI counters, by kind of call ----

constexpr auto kConnections =
    join(std::to_array<IntakeField>(
             {count(31107, MQIAMO_CONNS), count(31112, MQIAMO_CONNS_FAILED), count(31113, MQIAMO_CONNS_MAX)}),
         elements<3>(31109, MQIAMO_DISCS));
constexpr auto kOpens =
    join(byObjectType<5>(31042, MQIAMO_OPENS), byObjectType<5>(31047, MQIAMO_OPENS_FAILED));
constexpr auto kCloses =
    join(byObjectType<5>(31052, MQIAMO_CLOSES), byObjectType<5>(31057, MQIAMO_CLOSES_FAILED));
constexpr auto kInquires =
    join(byObjectType<4>(31065, MQIAMO_INQS), byObjectType<4>(31069, MQIAMO_INQS_FAILED));
constexpr auto kSets = join(byObjectType<1>(31073, MQIAMO_SETS), byObjectType<1>(31074, MQIAMO_SETS_FAILED));
constexpr auto kPuts = join(persistence(31003, MQIAMO_PUTS), one(count(31005, MQIAMO_PUTS_FAILED)));
constexpr auto kPut1s = join(persistence(31007, MQIAMO_PUT1S), one(count(31009, MQIAMO_PUT1S_FAILED)));
constexpr auto kPutBytes = persistence64(31011, MQIAMO64_PUT_BYTES);
constexpr auto kGets = join(persistence(31014, MQIAMO_GETS), one(count(31019, MQIAMO_GETS_FAILED)));
constexpr auto kGetBytes = persistence64(31017, MQIAMO64_GET_BYTES);
constexpr auto kBrowses = join(persistence(31021, MQIAMO_BROWSES), one(count(31023, MQIAMO_BROWSES_FAILED)));
constexpr auto kBrowseBytes = persistence64(31025, MQIAMO64_BROWSE_BYTES);
constexpr auto kCommits = std::to_array<IntakeField>(
    {count(31062, MQIAMO_COMMITS), count(31063, MQIAMO_COMMITS_FAILED), count(31064, MQIAMO_BACKOUTS)});
constexpr auto kExpired =
    std::to_array<IntakeField>({count(31028, MQIAMO_MSGS_EXPIRED), count(31029, MQIAMO_MSGS_PURGED)});
constexpr auto kSubscriptions =
    join(elements<3>(31075, MQIAMO_SUBS_DUR), elements<3>(31078, MQIAMO_SUBS_NDUR),
         one(count(31081, MQIAMO_SUBS_FAILED)));
constexpr auto kUnsubscriptions =
    join(elements<2>(31082, MQIAMO_UNSUBS_DUR), elements<2>(31084, MQIAMO_UNSUBS_NDUR),
         one(count(31086, MQIAMO_UNSUBS_FAILED)));
constexpr auto kSubRequests =
    std::to_array<IntakeField>({count(31087, MQIAMO_SUBRQS), count(31088, MQIAMO_SUBRQS_FAILED)});
constexpr auto kCallbacks = join(elements<4>(31031, MQIAMO_CBS), one(count(31035, MQIAMO_CBS_FAILED)));
constexpr auto kControls = join(elements<4>(31089, MQIAMO_CTLS), one(count(31093, MQIAMO_CTLS_FAILED)));
constexpr auto kStatus =
    std::to_array<IntakeField>({count(31094, MQIAMO_STATS), count(31095, MQIAMO_STATS_FAILED)});
// A low-water mark of 0 is a value: the fewest subscriptions of the interval were none.
template <size_t N>
constexpr std::array<IntakeField, N> lowWater(int32_t first, int32_t source) {
    std::array<IntakeField, N> out{};
    for (size_t i = 0; i < N; i++)
        out[i] = extreme(first + static_cast<int32_t>(i), source, static_cast<uint8_t>(i));
    return out;
}
constexpr auto kWaterMarks =
    join(elements<4>(31114, MQIAMO_SUB_DUR_HIGHWATER), lowWater<4>(31118, MQIAMO_SUB_DUR_LOWWATER),
         elements<4>(31122, MQIAMO_SUB_NDUR_HIGHWATER), lowWater<4>(31126, MQIAMO_SUB_NDUR_LOWWATER));
constexpr auto kTopicPuts =
    join(persistence(31097, MQIAMO_TOPIC_PUTS), one(count(31099, MQIAMO_TOPIC_PUTS_FAILED)));
constexpr auto kTopicPut1s =
    join(persistence(31101, MQIAMO_TOPIC_PUT1S), one(count(31103, MQIAMO_TOPIC_PUT1S_FAILED)));
constexpr auto kTopicPutBytes = persistence64(31105, MQIAMO64_TOPIC_PUT_BYTES);
constexpr auto kPublished =
    join(persistence(31131, MQIAMO_PUBLISH_MSG_COUNT), persistence64(31134, MQIAMO64_PUBLISH_MSG_BYTES));

// ---- MQI statistics: one flat record ----

constexpr auto kStatMQIHead =
    join(one(always(MQIA_COMMAND_LEVEL)), kConnections, kOpens, kCloses, kInquires, kSets, kPuts, kPut1s,
         kPutBytes, kGets, kGetBytes, kBrowses, kBrowseBytes, kCommits, kExpired, kSubscriptions,
         kUnsubscriptions, kSubRequests, kCallbacks, kControls, kStatus, kWaterMarks, kTopicPuts, kTopicPut1s,
         kTopicPutBytes, kPublished);
static_assert(kStatMQIHead.size() == 114 && kStatMQIHead.size() <= INTAKE_MAX_FIELDS);

// ---- MQI accounting: one flat record, the application name first ----

constexpr auto kAcctMQIIdentity = std::to_array<IntakeField>({
    text(MQCACF_APPL_NAME, 28),
    text(MQCACH_CHANNEL_NAME, 20),
    text(MQCACF_USER_IDENTIFIER, 12),
    text(MQCACH_CONNECTION_NAME, 264),
    text(MQCACH_REMOTE_PRODUCT, 4),
    text(MQCACH_REMOTE_VERSION, 8),
    setting(MQIACF_SEQUENCE_NUMBER),
    setting(MQIACF_PROCESS_ID),
    setting(MQIACF_THREAD_ID),
    when(31040, MQCAMO_CONN_DATE, MQCAMO_CONN_TIME),
    when(31041, MQCAMO_DISC_DATE, MQCAMO_DISC_TIME),
    make(31108, 0, 0, INTAKE_SPAN, INTAKE_SET, INTAKE_F_UNSET | INTAKE_F_NARROW),
    setting(MQIAMO_DISC_TYPE),
    bytes(MQBACF_CONNECTION_ID, 24),
    always(MQIA_COMMAND_LEVEL),
});

constexpr auto kAcctMQIHead =
    join(kAcctMQIIdentity, kOpens, kCloses, kPuts, kPut1s, kPutBytes, kGets, kGetBytes, kBrowses,
         kBrowseBytes, kCommits, kInquires, kSets, kSubscriptions, kUnsubscriptions, kSubRequests, kCallbacks,
         kControls, kStatus, kTopicPuts, kTopicPut1s, kTopicPutBytes);
static_assert(kAcctMQIHead.size() == 15 + 85 && kAcctMQIHead.size() <= INTAKE_MAX_FIELDS);

// ---- Queue accounting: the application once, then each queue in a group 8010 ----

constexpr auto kAcctQHead = std::to_array<IntakeField>({
    bytes(MQBACF_CONNECTION_ID, 24),
    setting(MQIACF_SEQUENCE_NUMBER),
    text(MQCACF_APPL_NAME, 28),
    setting(MQIACF_PROCESS_ID),
    setting(MQIACF_THREAD_ID),
    text(MQCACF_USER_IDENTIFIER, 12),
    text(MQCACH_CHANNEL_NAME, 20),
    text(MQCACH_CONNECTION_NAME, 264),
    always(MQIA_COMMAND_LEVEL),
});

constexpr std::array<IntakeField, 2> extremes(int32_t storedNP, int32_t source) {
    return {extreme(storedNP, source, 0), extreme(storedNP + 1, source, 1)};
}
constexpr std::array<IntakeField, 2> extremes64(int32_t storedNP, int32_t source) {
    return {extreme64(storedNP, source, 0), extreme64(storedNP + 1, source, 1)};
}

constexpr auto kAcctQObject = join(
    std::to_array<IntakeField>({
        text(MQCA_Q_NAME, 48),
        setting(MQIA_Q_TYPE),
        setting(MQIA_DEFINITION_TYPE),
        when(31148, MQCA_CREATION_DATE, MQCA_CREATION_TIME),
        count(31151, MQIAMO_OPENS),
        count(31177, MQIAMO_CLOSES),
        when(31149, MQCAMO_OPEN_DATE, MQCAMO_OPEN_TIME),
        when(31150, MQCAMO_CLOSE_DATE, MQCAMO_CLOSE_TIME),
    }),
    kPuts, kPut1s, kPutBytes, extremes(31153, MQIAMO_PUT_MIN_BYTES), extremes(31156, MQIAMO_PUT_MAX_BYTES),
    one(count(31170, MQIAMO_GENERATED_MSGS)), kGets, kGetBytes, extremes(31159, MQIAMO_GET_MIN_BYTES),
    extremes(31162, MQIAMO_GET_MAX_BYTES), kBrowses, kBrowseBytes, extremes(31165, MQIAMO_BROWSE_MIN_BYTES),
    extremes(31168, MQIAMO_BROWSE_MAX_BYTES), kCallbacks, extremes64(31171, MQIAMO_Q_TIME_MIN),
    extremes64(31173, MQIAMO_Q_TIME_AVG), extremes64(31175, MQIAMO_Q_TIME_MAX));

}  // namespace

const IntakeFamily statsIntakeStatQ = {"StatQ",
                                       MQCMD_STATISTICS_Q,
                                       STREAM_TYPE_STATQ,
                                       MQGACF_Q_STATISTICS_DATA,
                                       0,
                                       EV_QMC_STATQ,
                                       EV_EQC_STATQ,
                                       kStatQHead.data(),
                                       sizeOf(kStatQHead),
                                       kStatQObject.data(),
                                       sizeOf(kStatQObject)};
const IntakeFamily statsIntakeStatMQI = {
    "StatMQI",      MQCMD_STATISTICS_MQI, STREAM_TYPE_STATMQI,  0,       1, EV_QMC_STATMQI,
    EV_EQC_STATMQI, kStatMQIHead.data(),  sizeOf(kStatMQIHead), nullptr, 0};
const IntakeFamily statsIntakeStatChl = {"StatChl",
                                         MQCMD_STATISTICS_CHANNEL,
                                         STREAM_TYPE_STATCHL,
                                         MQGACF_CHL_STATISTICS_DATA,
                                         2,
                                         EV_QMC_STATCHL,
                                         EV_EQC_STATCHL,
                                         kStatQHead.data(),
                                         sizeOf(kStatQHead),
                                         kStatChlObject.data(),
                                         sizeOf(kStatChlObject)};
const IntakeFamily statsIntakeAcctQ = {"AcctQ",
                                       MQCMD_ACCOUNTING_Q,
                                       STREAM_TYPE_ACCTQ,
                                       MQGACF_Q_ACCOUNTING_DATA,
                                       3,
                                       EV_QMC_ACCTQ,
                                       EV_EQC_ACCTQ,
                                       kAcctQHead.data(),
                                       sizeOf(kAcctQHead),
                                       kAcctQObject.data(),
                                       sizeOf(kAcctQObject)};
const IntakeFamily statsIntakeAcctMQI = {
    "AcctMQI",      MQCMD_ACCOUNTING_MQI, STREAM_TYPE_ACCTMQI,  0,       4, EV_QMC_ACCTMQI,
    EV_EQC_ACCTMQI, kAcctMQIHead.data(),  sizeOf(kAcctMQIHead), nullptr, 0};
