#pragma once
// The one text of every docstring of the session layer (the sessions, their handles,
// subscriptions, replies and events): the module's runtime documentation (help()) is made of
// it, and the stub generator writes it into the type stubs (hover text) and so into the
// site, so the three say the same. Keys are "Class" or "Class.member". The per-command
// methods' texts are generated from the catalogue (src/tools/stub_generator.cpp) and compiled
// into the module from there. Paragraphs are separated by a blank line; a line is wrapped
// where it is written. Python-free.
#include <array>
#include <string_view>

namespace qv {

struct DocText {
  std::string_view key;
  std::string_view text;
};

// clang-format off
inline constexpr auto kSessionDocs = std::to_array<DocText>({
    // -- the sessions ---------------------------------------------------------------------
    {"Session",
     "A connection to the control server that hears it, for threads.\n\n"
     "Each request returns the Reply that carries its tag; every other line is an Event. The\n"
     "constructor connects and logs in. A wait reads the connection itself, with the\n"
     "interpreter lock released, and answers Ctrl-C; several threads may share one session."},
    {"AsyncSession",
     "A connection to the control server that hears it, for asyncio.\n\n"
     "Each call sends its line at once and returns an awaitable (also a coroutine) for its\n"
     "Reply; every other line is an Event. It connects in ``async with`` or ``await\n"
     "connect()``. The running loop reads the connection, and the lines of one loop iteration\n"
     "go out in one write."},
    {"Session.request", "Send a Command, or a text as it is, and wait for its reply."},
    {"AsyncSession.request", "Send a Command, or a text as it is; await the result for its reply."},
    {"Session.request_batch", "Send many requests in one write and wait for every reply."},
    {"AsyncSession.request_batch", "Send many requests in one write; await the result for every reply."},
    {"Session.events",
     "A subscription to every event, starting with those held for wait_for(): iterate over it\n"
     "until the session is closed, or, with a timeout, until none comes within it."},
    {"AsyncSession.events",
     "A subscription to every event, starting with those held for wait_for(): iterate over it\n"
     "(async for) until the session is closed, or, with a timeout, until none comes within it."},
    {"Session.subscribe",
     "A Subscription to the events the predicate accepts (every event with None), from now on;\n"
     "make it before sending the command whose events it is for."},
    {"AsyncSession.subscribe",
     "An AsyncSubscription to the events the predicate accepts (every event with None), from now\n"
     "on; make it before sending the command whose events it is for."},
    {"Session.resource",
     "A Resource: every event about the resource from now on (those whose resource_key field\n"
     "is its id), and its commands; make it before sending the command whose events it is for."},
    {"AsyncSession.resource",
     "An AsyncResource: every event about the resource from now on (those whose resource_key\n"
     "field is its id), and its commands; make it before sending the command whose events it is\n"
     "for."},
    {"Session.completion",
     "The line that completed the request `reply` answered: the first later line carrying its\n"
     "tag, kept from the moment the request was sent for as long as the program holds the\n"
     "reply, so it is there however late it is asked for. TimeoutError when none comes in time,\n"
     "ConnectionError when the connection was lost first."},
    {"AsyncSession.completion",
     "Await the line that completed the request `reply` answered: the first later line carrying\n"
     "its tag, kept from the moment the request was sent for as long as the program holds the\n"
     "reply, so it is there however late it is asked for. TimeoutError when none comes in time,\n"
     "ConnectionError when the connection was lost first."},
    {"Session.wait_for",
     "Wait for the first event the predicate accepts among those no subscription or resource\n"
     "took (the most recent max_events, and those that come); the others stay held. When\n"
     "events that came after this thread's last request were dropped from the window before it\n"
     "looked, its TimeoutError says so: a resource, a completion or a subscription made before\n"
     "sending misses none."},
    {"AsyncSession.wait_for",
     "Await the first event the predicate accepts among those no subscription or resource took\n"
     "(the most recent max_events, and those that come); the others stay held. When events that\n"
     "came after this task's last request were dropped from the window before it looked, its\n"
     "TimeoutError says so: a resource, a completion or a subscription made before sending\n"
     "misses none."},
    {"AsyncSession.connect", "Connect and log in; await the result. Requests made before wait for it."},
    {"Session.close", "End the connection; waiting calls end at once."},
    {"AsyncSession.close", "End the connection at once; waiting calls end. Awaitable."},
    {"Session.closed", "Whether close() was called."},
    {"AsyncSession.closed", "Whether close() was called."},
    {"Session.stats",
     "The session's counters since it was made, for monitoring: a SessionStats (requests,\n"
     "replies, events, dropped, reconnects)."},
    {"AsyncSession.stats",
     "The session's counters since it was made, for monitoring: a SessionStats (requests,\n"
     "replies, events, dropped, reconnects)."},
    {"Session.__enter__", "The session itself."},
    {"Session.__exit__", "close() the session; an exception from the block goes on."},
    {"AsyncSession.__aenter__", "Connect and log in; await the result for the session itself."},
    {"AsyncSession.__aexit__", "close() the session; an exception from the block goes on."},

    // -- what they hand the program -------------------------------------------------------
    {"Reply", "The line from the server that answered a request."},
    {"Reply.tag", "The request's command tag: the last ``COMMANDTAG=<n>`` token of the line."},
    {"Reply.line", "The line, decoded (invalid UTF-8 replaced) and stripped, as the reader prints it."},
    {"Reply.words", "The line's space-separated tokens."},
    {"Reply.fields", "The line's ``Key=Value`` tokens."},
    {"Event",
     "A line from the server that answers no waiting request: an event, a later line of a long\n"
     "command (it carries that command's tag), or a reply that came after its request timed\n"
     "out. Also the mark of a reconnect (kind \"reconnected\")."},
    {"Event.tag", "The last ``COMMANDTAG=<n>`` token's number; None for a line without one."},
    {"Event.line", "The line, decoded (invalid UTF-8 replaced) and stripped, as the reader prints it."},
    {"Event.words", "The line's space-separated tokens."},
    {"Event.fields", "The line's ``Key=Value`` tokens."},
    {"Event.kind",
     "\"line\" for a server line; \"reconnected\" marks a new connection, before which lines may\n"
     "have been missed."},
    {"Event.gap",
     "A reconnect's: the seconds from the loss of the connection to the new one's Login\n"
     "(float); None for a line."},
    {"SessionStats",
     "A session's counters since it was made, for monitoring: requests, replies, events,\n"
     "dropped, reconnects."},
    {"SessionStats.requests", "request lines sent, the Login of each connection included"},
    {"SessionStats.replies", "replies received"},
    {"SessionStats.events", "lines received that answered no request (dropped ones included)"},
    {"SessionStats.dropped",
     "events dropped: from the recent window (max_events were held), by a subscription or\n"
     "resource (max_pending), or before they could be handed on"},
    {"SessionStats.reconnects", "connections made and logged in again after a loss"},
    {"ServerError",
     "The server's reply says the request failed, by the session's is_failure setting (by\n"
     "default: its first word is ERROR). The reply is the attribute `reply`."},
    {"EventsDropped",
     "Events were left out at this point of a subscription's or resource's stream, because it\n"
     "held as many events as it may (its max_pending) and the program had not taken them; the\n"
     "stream goes on after it. The number is the attribute `count`."},

    // -- subscriptions and resources ------------------------------------------------------
    {"Subscription",
     "Events of a Session as they come, from the moment it was made: those its predicate\n"
     "accepts (all, without one), in a queue of its own bounded by max_pending (beyond it,\n"
     "EventsDropped at that point, once). Iterate over it, or get() one at a time; close() (or\n"
     "leaving its with block) unsubscribes. A loss of the connection shows as the reconnected\n"
     "event when the session connects again; ConnectionError when it cannot."},
    {"AsyncSubscription",
     "Events of an AsyncSession as they come, from the moment it was made: those its predicate\n"
     "accepts (all, without one), in a queue of its own bounded by max_pending (beyond it,\n"
     "EventsDropped at that point, once). Iterate over it with async for, or await get() for\n"
     "one; close() (or leaving its with or async with block) unsubscribes. A loss of the\n"
     "connection shows as the reconnected event once the session has connected again;\n"
     "ConnectionError when it cannot."},
    {"Resource",
     "The events of one resource (a call, a player...) of a Session, from the moment it was\n"
     "made: every event whose resource field (the session's resource_key) is its id, in a\n"
     "queue of its own bounded by max_pending. Iterate over it, get() or wait_for() them; its\n"
     "per-command methods send the commands of its resource. close() (or leaving its with\n"
     "block) ends it; it sends nothing by itself."},
    {"AsyncResource",
     "The events of one resource (a call, a player...) of an AsyncSession, from the moment it\n"
     "was made: every event whose resource field (the session's resource_key) is its id, in a\n"
     "queue of its own bounded by max_pending. Iterate over it with async for, await get() or\n"
     "wait_for(); its per-command methods send the commands of its resource. close() (or\n"
     "leaving its async with block) ends it; it sends nothing by itself."},
    {"Subscription.get", "The next event; TimeoutError when none comes within timeout."},
    {"AsyncSubscription.get", "Await the next event; TimeoutError when none comes within timeout."},
    {"Resource.get", "The next event about the resource; TimeoutError when none comes within timeout."},
    {"AsyncResource.get",
     "Await the next event about the resource; TimeoutError when none comes within timeout."},
    {"Resource.wait_for",
     "The first of its events the predicate accepts (the first, without one), those it holds\n"
     "first; the others stay. ConnectionError when the connection is lost."},
    {"AsyncResource.wait_for",
     "Await the first of its events the predicate accepts (the first, without one), those it\n"
     "holds first; the others stay. ConnectionError when the connection is lost."},
    {"Resource.id", "The resource's id."},
    {"AsyncResource.id", "The resource's id."},
    {"Subscription.close",
     "Unsubscribe: it takes no more events; those it holds and the program did not take are\n"
     "held for wait_for() again."},
    {"AsyncSubscription.close",
     "Unsubscribe: it takes no more events; those it holds and the program did not take are\n"
     "held for wait_for() again."},
    {"Resource.close",
     "End it: it takes no more events; those it held and the program did not take are held for\n"
     "wait_for() again. Its commands may still be sent."},
    {"AsyncResource.close",
     "End it: it takes no more events; those it held and the program did not take are held for\n"
     "wait_for() again. Its commands may still be sent."},
    {"consumer.closed", "Whether it ended (close(), or its with block was left): it takes nothing more."},
    {"consumer.pending", "The events it holds that the program has not taken yet."},
    {"consumer.__enter__", "It itself."},
    {"consumer.__exit__", "close() it; an exception from the block goes on."},
    {"consumer.__aenter__", "Await it for itself."},
    {"consumer.__aexit__", "close() it; an exception from the block goes on."},
});
// clang-format on

// The text of `key`: a key that is not in the table fails the build.
consteval std::string_view session_doc(std::string_view key) {
  for (const DocText& d : kSessionDocs)
    if (d.key == key) return d.text;
  throw "no docstring of this name";  // not a constant expression: the build stops here
}

}  // namespace qv
