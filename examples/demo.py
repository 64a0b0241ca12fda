"""A short call flow against a control server: log in, set up resources, call, play, fax.

Usage: python examples/demo.py [HOST] [PORT]
Every line the server sends back is printed by the client's reader as "Received: ...".
"""
import sys
import time

from quelvant_rs import client, values


def main() -> None:
    host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 1234

    c = client.QuelvantClient(host, port, None, "demo", "secret")
    c.print_details()
    c.connect()

    c.login()
    c.resource_create_frontend(None, None, None, True)
    c.resource_create_player()
    c.call_make(1, "1001", None, "2002", "Front desk", None, None)
    c.play_file(2, "greeting.wav", values.AudioFormatType("PCM"), 8000,
                values.Channels.Mono, None, None)
    c.call_send_dtmf(1, "123#", None, None, None)

    # Fax: a document with one file, prepared and sent with error correction.
    c.resource_create_fax()
    c.resource_create_document()
    c.document_add_file(4, "invoice.tif", None)
    c.document_prepare(4, values.ConstantWithDescription("A4", "ISO A4 paper"), None)
    c.fax_send(3, 1, 4, None, values.ECM.ECM256, "Daily report", None)

    c.get_rtp_statistics(5)
    # A malformed line, to show what the server answers to it.
    c.send_raw_command("NoSuchCommand 1")
    c.logout()
    c.quit()  # the server answers, then closes the connection
    print(f"sent {c.command_tag} tagged lines", flush=True)

    time.sleep(0.5)  # let the reader print the last answers and "Connection closed."
    c.disconnect()


if __name__ == "__main__":
    main()
