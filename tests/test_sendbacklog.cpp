// The send queue's store, in process: its bound and what gives way at it.
#include <gtest/gtest.h>

#include <thread>

#include "ConditionQueue.h"
#include "RecordingStream.h"
#include "SendBacklog.h"

namespace {

// "v<node>=<value>" a value report, "e<code>" an error, "a<n>" an answer;
// padded so that every message costs 100 B with its bookkeeping.
SendBacklog::Item item(const std::string& name) {
    const SendBacklog::Kind kind = name[0] == 'v' ? SendBacklog::Kind::values
                                   : name[0] == 'e' ? SendBacklog::Kind::error : SendBacklog::Kind::answer;
    std::string text = name;
    text.resize(100 - SendBacklog::PER_MESSAGE, '.');
    return {text, kind, static_cast<unsigned short>(name[1] - '0')};
}

std::string take(SendBacklog& backlog) {
    SendBacklog::Item got;
    return backlog.get(got) ? got.text.substr(0, got.text.find('.')) : "<empty>";
}

}  // namespace

TEST(SendBacklog, UpToTheBoundAllQueuedBeyondItOnlySupersededReportsGiveWay) {
    RecordingStream out(1);
    SendBacklog backlog(600);
    const struct { const char* name; bool taken; std::size_t bytes; } steps[] = {
        {"v1=1", true, 100}, {"v2=1", true, 200}, {"v1=2", true, 300}, {"v2=2", true, 400}, {"e4", true, 500},
        {"v1=3", true, 600},  // the bound: nothing dropped
        {"v2=3", true, 500},  // node 2's two older reports give way, it goes to the back
        {"e4", true, 600},    // room left: queued although the same error waits
        {"e4", true, 600},    // full: counted
        {"e5", true, 600},    // node 1's oldest report gives way
        {"a1", true, 600},    // and its next one
        {"a2", false, 600},   // nothing left that may give way: the answer waits
        {"v3=1", true, 700},  // a node's only report never waits nor gives way
        {"e4", true, 700},
    };
    for (const auto& s : steps) {
        SendBacklog::Item next = item(s.name);
        EXPECT_EQ(backlog.put(next), s.taken) << s.name;
        EXPECT_EQ(backlog.bytes(), s.bytes) << s.name;
    }
    std::string got;
    for (int i = 0; i < 4; ++i) got += take(backlog) + " ";
    SendBacklog::Item waiting = item("a2");
    EXPECT_TRUE(backlog.put(waiting));
    for (int i = 0; i < 5; ++i) got += take(backlog) + " ";
    EXPECT_EQ(got, "e4 v1=3 v2=3 e4 e5 a1 v3=1 a2 <empty> ");
    EXPECT_EQ(out.text(), "Send queue full (600 B): the server is not keeping up, older DATA_GET reports of a node give "
                          "way to newer ones\nSend queue down to 300 B: 4 superseded DATA_GET reports dropped, 2 "
                          "repeated ERROR reports counted once\n");
    SendBacklog::Item again = item("e4");  // none waits: queued again below the bound
    EXPECT_TRUE(backlog.put(again));
    EXPECT_EQ(take(backlog), "e4");
}

// A producer whose message has no room waits for the consumer, and for no
// one once the queue is closed (its message is then dropped).
TEST(SendBacklog, AnAnswerWaitsForRoomUntilTheQueueCloses) {
    RecordingStream out(1);
    ConditionQueue<SendBacklog::Item, SendBacklog> queue{SendBacklog(200)};
    for (const char* name : {"a1", "a2"}) queue.push(item(name));
    std::thread producer([&] { queue.push(item("a3")); });
    SendBacklog::Item got;
    ASSERT_TRUE(queue.pop(got));
    producer.join();  // woken by the room made
    std::thread late([&] { queue.push(item("a4")); });
    queue.close();
    late.join();
    std::string rest;
    while (queue.pop(got)) rest += got.text.substr(0, 2);
    EXPECT_EQ(rest, "a2a3");
}
