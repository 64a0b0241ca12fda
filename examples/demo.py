"""A call flow that hears the server: resources from replies, a call, a prompt, a fax.

Usage: python examples/demo.py [HOST] [PORT]
The first part uses a Session (each request returns its reply; a subscription takes the
call's events, wait_for the end of a prompt and of a fax), then
the same in asyncio with many requests in flight, and last the printing QuelvantClient,
whose reader shows every line the server sends as "Received: ...".
"""
import asyncio
import os
import sys
import time

from quelvant_rs import client, commands, session, values

Command = commands.Command


def failed(reply: session.Reply) -> bool:
    """The stand-in server's failure replies start with ERROR."""
    return reply.words[:1] == ["ERROR"]


def resource(reply: session.Reply) -> int:
    return int(reply.fields["ResourceId"])


def call_flow(host: str, port: int) -> None:
    with session.Session(host, port, "demo", "secret", is_failure=failed) as s:
        print("logged in; version:", s.get_version().fields["Version"])
        front = resource(s.resource_create_frontend(accepting=True))
        player = resource(s.resource_create_player())
        print(f"front end {front}, player {player}")

        # The call's events, from before the call is made: none can come too early for it.
        with s.subscribe(lambda e: e.fields.get("ResourceId") == str(front)) as call_events:
            s.call_make(front, "1001", caller_number="2002", caller_name="Front desk")
            print("event:", call_events.get(timeout=5).line)

            prompt = s.play_file(player, "greeting.wav", values.AudioFormatType("PCM"), 8000,
                                 values.Channels.Mono)
            finished = s.wait_for(lambda e: e.tag == prompt.tag, timeout=5)
            print(f"prompt (tag {prompt.tag}) finished:", finished.line)
            s.call_send_dtmf(front, "123#")

            # Fax: a document with one file, prepared and sent with error correction.
            fax = resource(s.resource_create_fax())
            document = resource(s.resource_create_document())
            s.document_add_file(document, "invoice.tif")
            s.document_prepare(document, values.ConstantWithDescription("A4", "ISO A4 paper"))
            sent = s.fax_send(fax, front, document, use_ecm=values.ECM.ECM256, header="Daily report")
            done = s.wait_for(lambda e: e.tag == sent.tag, timeout=5)
            print("fax:", done.line)

            statuses = s.request_batch([Command.resource_get_status(r) for r in (front, player, fax)])
            print("statuses in one write:", [r.tag for r in statuses])
            try:
                s.request("NoSuchCommand 1")
            except session.ServerError as exc:
                print("refused:", exc)
            s.call_clear(front)
            print("event:", call_events.get(timeout=5).line)


async def many_in_flight(host: str, port: int) -> None:
    async with session.AsyncSession(host, port, "demo", "secret", is_failure=failed) as s:
        ids = [resource(r) for r in await asyncio.gather(
            *(s.resource_create_recorder() for _ in range(5)))]
        statuses = await asyncio.gather(*(s.resource_get_status(i) for i in ids))
        print("asyncio: recorders", ids, "statuses", [r.tag for r in statuses])


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
