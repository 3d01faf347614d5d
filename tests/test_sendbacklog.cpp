// The send queue's store, in process: its bound and what gives way at it.
#include <gtest/gtest.h>

#include <thread>

#include "ConditionQueue.h"
#include "RecordingStream.h"
#include "SendBacklog.h"

namespace {

using Kind = SendBacklog::Kind;

// Texts of 36 bytes: every message costs 100 B with its bookkeeping.
SendBacklog::Item item(Kind kind, const std::string& name, unsigned short node = 0) {
    std::string text = name;
    text.resize(100 - SendBacklog::PER_MESSAGE, '.');
    return {text, kind, node};
}
SendBacklog::Item report(unsigned short node, int value) {
    return item(Kind::values, "v" + std::to_string(node) + "=" + std::to_string(value), node);
}
SendBacklog::Item error(int code) { return item(Kind::error, "e" + std::to_string(code)); }
SendBacklog::Item answer(int n) { return item(Kind::answer, "a" + std::to_string(n)); }

std::string take(SendBacklog& backlog) {
    SendBacklog::Item got;
    if (!backlog.get(got)) return "<empty>";
    return got.text.substr(0, got.text.find('.'));
}

}  // namespace

TEST(SendBacklog, UpToTheBoundAllQueuedBeyondItOnlySupersededReportsGiveWay) {
    RecordingStream out(1);
    SendBacklog backlog(600);
    struct Step {
        SendBacklog::Item item;
        bool taken;
        std::size_t bytes;  // queued afterwards
    };
    const Step steps[] = {
        {report(1, 1), true, 100}, {report(2, 1), true, 200}, {report(1, 2), true, 300},
        {report(2, 2), true, 400}, {error(4), true, 500},     {report(1, 3), true, 600},  // the bound: nothing dropped
        {report(2, 3), true, 500},  // node 2's two older reports give way, it goes to the back
        {error(4), true, 600},      // room left: queued although the same error waits
        {error(4), true, 600},      // full: counted
        {error(5), true, 600},      // node 1's oldest report gives way
        {answer(1), true, 600},     // and its next one
        {answer(2), false, 600},    // nothing left that may give way: the answer waits
        {report(3, 1), true, 700},  // a node's only report never waits nor gives way
        {error(4), true, 700},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SendBacklog::Item copy = steps[i].item;
        EXPECT_EQ(backlog.put(copy), steps[i].taken) << "step " << i;
        EXPECT_EQ(backlog.bytes(), steps[i].bytes) << "step " << i;
    }
    EXPECT_EQ(out.text(), "Send queue full (600 B): the server is not keeping up, older DATA_GET reports of a node give "
                          "way to newer ones\n");
    const std::vector<std::string> first = {take(backlog), take(backlog), take(backlog), take(backlog)};
    EXPECT_EQ(first, (std::vector<std::string>{"e4", "v1=3", "v2=3", "e4"}));
    EXPECT_EQ(out.text().substr(out.text().find('\n') + 1),
              "Send queue down to 300 B: 4 superseded DATA_GET reports dropped, 2 repeated ERROR reports counted "
              "once\n");
    SendBacklog::Item waiting = answer(2);
    EXPECT_TRUE(backlog.put(waiting));
    const std::vector<std::string> rest = {take(backlog), take(backlog), take(backlog), take(backlog), take(backlog)};
    EXPECT_EQ(rest, (std::vector<std::string>{"e5", "a1", "v3=1", "a2", "<empty>"}));
    // Everything has left: the same error is queued again, below the bound.
    SendBacklog::Item again = error(4);
    EXPECT_TRUE(backlog.put(again));
    EXPECT_EQ(take(backlog), "e4");
}

// A producer whose message has no room waits for the consumer, and for no
// one once the queue is closed.
TEST(SendBacklog, AnAnswerWaitsForRoomUntilTheQueueCloses) {
    RecordingStream out(1);
    ConditionQueue<SendBacklog::Item, SendBacklog> queue{SendBacklog(200)};
    queue.push(answer(1));
    queue.push(answer(2));
    std::thread producer([&] { queue.push(answer(3)); });
    SendBacklog::Item got;
    ASSERT_TRUE(queue.pop(got));
    producer.join();  // woken by the room made
    EXPECT_EQ(queue.size(), 2u);
    std::thread late([&] { queue.push(answer(4)); });
    queue.close();
    late.join();
    std::vector<std::string> texts;
    while (queue.pop(got)) texts.push_back(got.text.substr(0, 2));
    EXPECT_EQ(texts, (std::vector<std::string>{"a2", "a3"})) << "an answer with no room after close() is dropped";
}
