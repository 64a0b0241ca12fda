"""A call flow that hears the server: resources from replies, a call, a prompt, a fax.

Usage: python examples/demo.py [HOST] [PORT]
The first part uses a Session (each request returns its reply; the call's handle takes its
events, a completion the end of a prompt and of a fax), then many calls at once in asyncio,
each with its own handle, and last the printing QuelvantClient, whose reader shows every line
the server sends as "Received: ...".
"""
import asyncio
import os
import sys
import time
from collections.abc import Callable

from quelvant_rs import client, commands, session, values

Command = commands.Command


def resource(reply: session.Reply) -> int:
    return int(reply.fields["ResourceId"])


def first_word(word: str) -> Callable[[session.Event], bool]:
    return lambda event: event.words[:1] == [word]


def call_flow(host: str, port: int) -> None:
    with session.Session(host, port, "demo", "secret") as s:
        print("logged in; version:", s.get_version().fields["Version"])
        front = resource(s.resource_create_frontend(accepting=True))
        print(f"front end {front}")

        # The call's events, from before the call is made: none can come too early for it.
        with s.resource(front) as call:
            call.call_make("1001", caller_number="2002", caller_name="Front desk")
            print("event:", call.wait_for(first_word("CallConnected"), timeout=5).line)

            # The line that finishes a request carries its tag: the request's completion.
            prompt = call.play_file("greeting.wav", values.AudioFormatType("PCM"), 8000,
                                    values.Channels.Mono)
            print(f"prompt (tag {prompt.tag}) finished:", s.completion(prompt, timeout=5).line)
            call.call_send_dtmf("123#")

            # Fax: a document with one file, prepared and sent with error correction.
            fax = resource(s.resource_create_fax())
            document = resource(s.resource_create_document())
            s.document_add_file(document, "invoice.tif")
            s.document_prepare(document, values.ConstantWithDescription("A4", "ISO A4 paper"))
            sent = s.fax_send(fax, front, document, use_ecm=values.ECM.ECM256, header="Daily report")
            print("fax:", s.completion(sent, timeout=5).line)

            statuses = s.request_batch([Command.resource_get_status(r) for r in (front, fax, document)])
            print("statuses in one write:", [r.tag for r in statuses])
            try:
                s.request("NoSuchCommand 1")
            except session.ServerError as exc:  # a reply whose first word is ERROR
                print("refused:", exc)
            call.call_clear()
            print("event:", call.wait_for(first_word("CallCleared"), timeout=5).line)


async def one_call(s: session.AsyncSession, number: str) -> str:
    front = resource(await s.resource_create_frontend())
    async with s.resource(front) as call:
        await call.call_make(number)
        await call.wait_for(first_word("CallConnected"), timeout=5)
        finished = await s.completion(await call.play_file("hold-music.wav"), timeout=5)
        await call.call_clear()
        await call.wait_for(first_word("CallCleared"), timeout=5)
    await s.resource_delete(front)
    return finished.line


async def many_in_flight(host: str, port: int) -> None:
    async with session.AsyncSession(host, port, "demo", "secret") as s:
        ids = [resource(r) for r in await asyncio.gather(
            *(s.resource_create_recorder() for _ in range(5)))]
        statuses = await asyncio.gather(*(s.resource_get_status(i) for i in ids))
        print("asyncio: recorders", ids, "statuses", [r.tag for r in statuses])
        lines = await asyncio.gather(*(one_call(s, f"10{n:02}") for n in range(20)))
        print(f"asyncio: {len(lines)} calls at once, each its own prompt finished; the last:", lines[-1])


def printing_client(host: str, port: int) -> None:
    sys.stdout.flush()  # the reader writes to fd 1 itself, beside Python's buffer
    threads = len(os.listdir("/proc/self/task"))
    c = client.QuelvantClient(host, port, None, "demo", "secret")
    c.print_details()
    c.connect()
    c.login()
    c.get_version()
    c.send_raw_command("NoSuchCommand 1")
    c.quit()  # the server answers, then closes the connection
    # The reader ends after printing "Connection closed."; wait for that, not for a time.
    deadline = time.monotonic() + 5
    while len(os.listdir("/proc/self/task")) > threads and time.monotonic() < deadline:
        time.sleep(0.01)
    print(f"sent {c.command_tag} tagged lines", flush=True)
    c.disconnect()


def main() -> None:
    host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 1234
    call_flow(host, port)
    asyncio.run(many_in_flight(host, port))
    printing_client(host, port)


if __name__ == "__main__":
    main()
