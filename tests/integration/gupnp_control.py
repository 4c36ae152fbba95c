#!/usr/bin/python3
# Drives the control URLs of the server on 127.0.0.1:<port> with the GUPnP
# control point: finds the device over SSDP on the loopback interface, makes
# the service proxies from its description and calls the fixed actions.
# Exit 0: every check held; 77: GUPnP is not installed; 1: a check failed.
import functools
import sys

from gupnp_common import CD, CM, call, expect, require_gupnp, run_control_point

gir = require_gupnp()
GLib, GUPnP = gir.GLib, gir.GUPnP


port = sys.argv[1]
failures = []
done = {"seen": False}
loop = GLib.MainLoop()


check = functools.partial(expect, failures)


def fault(proxy, name, in_names=(), in_values=()):
    try:
        call(proxy, name, ["X"], in_names, in_values)
    except GLib.Error as e:
        return e.code
    return None


def available(control_point, device):
    if (":%s/" % port) not in device.get_location() or done["seen"]:
        return
    done["seen"] = True
    try:
        cd = device.get_service(CD)
        cm = device.get_service(CM)
        check("SearchCaps", call(cd, "GetSearchCapabilities", ["SearchCaps"]),
              ["dc:source,dc:title,dc:creator,upnp:artist,upnp:genre,upnp:album,dc:date,"
               "upnp:originalTrackNumber,upnp:class,@id,@parentID,@refID,res,upnp:albumArtURI"])
        check("SortCaps", call(cd, "GetSortCapabilities", ["SortCaps"]),
              ["dc:title,dc:creator,upnp:artist,upnp:genre,upnp:album,dc:date,"
               "upnp:originalTrackNumber,res"])
        update_id = call(cd, "GetSystemUpdateID", ["Id"])
        if not update_id or not update_id[0].isdigit():
            failures.append("SystemUpdateID: %r" % (update_id,))
        # Every type the server sends, and each DLNA profile it names.
        source, sink = call(cm, "GetProtocolInfo", ["Source", "Sink"]) or ("", "")
        for entry in ("http-get:*:audio/mpeg:DLNA.ORG_PN=MP3",
                      "http-get:*:audio/mp4:DLNA.ORG_PN=AAC_ISO_320",
                      "http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_TN", "http-get:*:audio/flac:*",
                      "http-get:*:video/mp4:*", "http-get:*:audio/x-mpegurl:*"):
            if entry not in source.split(","):
                failures.append("ProtocolInfo: %s missing from %r" % (entry, source))
        if sink not in ("", None):
            failures.append("ProtocolInfo: Sink %r" % sink)
        check("ConnectionIDs", call(cm, "GetCurrentConnectionIDs", ["ConnectionIDs"]), ["0"])
        check("ConnectionInfo",
              call(cm, "GetCurrentConnectionInfo",
                   ["RcsID", "AVTransportID", "ProtocolInfo", "PeerConnectionManager",
                    "PeerConnectionID", "Direction", "Status"], ["ConnectionID"], ["5"]),
              ["-1", "-1", "", "", "-1", "Output", "Unknown"])
        check("unknown action", fault(cd, "NoSuchAction"), 401)
        check("PrepareForConnection without Direction", fault(cm, "PrepareForConnection"), 402)
        check("Browse with a lower-case flag",
              fault(cd, "Browse", ["ObjectID", "BrowseFlag"], ["0", "browsemetadata"]), 402)
    except Exception as e:  # a failure to talk at all
        failures.append("exception: %r" % (e,))
    loop.quit()


run_control_point(gir, loop, available, 20)

if not done["seen"]:
    failures.append("the device on port %s was not found" % port)
for f in failures:
    print(f)
sys.exit(1 if failures else 0)
