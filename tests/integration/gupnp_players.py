#!/usr/bin/python3
# The extras that Samsung televisions, Xbox consoles and Windows Media Player
# call, seen through the GUPnP control point: the registrar service is in the
# description, its SCPD introspects to the three actions, and every one of
# them answers; the ContentDirectory answers X_GetFeatureList with the
# music, video and picture containers, and X_SetBookmark with success.
# Arguments: the port, then the expected container ids (music, video,
# pictures). Exit 0: every check held; 77: GUPnP is missing; 1: a check failed.
import functools
import sys
import xml.etree.ElementTree as ET

from gupnp_common import CD, call, expect, require_gupnp, run_control_point

REGISTRAR = "urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1"

gir = require_gupnp()
GLib, GUPnP = gir.GLib, gir.GUPnP

port = sys.argv[1]
expected_ids = sys.argv[2:]
failures = []
done = {"seen": False}
loop = GLib.MainLoop()


check = functools.partial(expect, failures)


def introspected(registrar, result):
    try:
        introspection = registrar.introspect_finish(result)
        names = sorted(introspection.list_action_names())
        check("registrar actions", names, ["IsAuthorized", "IsValidated", "RegisterDevice"])
        is_authorized = introspection.get_action("IsAuthorized")
        check("IsAuthorized arguments",
              [(a.name, a.direction == GUPnP.ServiceActionArgDirection.OUT)
               for a in is_authorized.arguments],
              [("DeviceID", False), ("Result", True)])
    except Exception as e:
        failures.append("introspection: %r" % (e,))
    loop.quit()


def available(control_point, device):
    if (":%s/" % port) not in device.get_location() or done["seen"]:
        return
    done["seen"] = True
    try:
        registrar = device.get_service(REGISTRAR)
        if registrar is None:
            failures.append("no registrar service in the description")
            loop.quit()
            return
        check("control URL", registrar.get_control_url().endswith("/X_MS_MediaReceiverRegistrar/Control"), True)
        check("IsAuthorized", call(registrar, "IsAuthorized", ["Result"], ["DeviceID"], [""]), ["1"])
        check("IsValidated", call(registrar, "IsValidated", ["Result"], ["DeviceID"], ["uuid:x"]), ["1"])
        check("RegisterDevice",
              call(registrar, "RegisterDevice", ["RegistrationRespMsg"], ["RegistrationReqMsg"], ["AA=="]),
              [""])
        cd = device.get_service(CD)
        features = call(cd, "X_GetFeatureList", ["FeatureList"])
        if not features:
            failures.append("X_GetFeatureList gave nothing")
        else:
            root = ET.fromstring(features[0])
            ns = "{urn:schemas-upnp-org:av:avs}"
            feature = root.find(ns + "Feature")
            check("feature name", feature.get("name") if feature is not None else None,
                  "samsung.com_BASICVIEW")
            containers = [(c.get("id"), c.get("type")) for c in root.iter(ns + "container")]
            check("feature containers", containers,
                  list(zip(expected_ids, ["object.item.audioItem", "object.item.videoItem",
                                          "object.item.imageItem"])))
        check("X_SetBookmark",
              call(cd, "X_SetBookmark", [], ["CategoryType", "RID", "ObjectID", "PosSecond"],
                   ["1", "0", "5", "30"]), [])
        registrar.introspect_async(None, introspected)
    except Exception as e:  # a failure to talk at all
        failures.append("exception: %r" % (e,))
        loop.quit()


run_control_point(gir, loop, available, 20)

if not done["seen"]:
    failures.append("the device on port %s was not found" % port)
for f in failures:
    print(f)
sys.exit(1 if failures else 0)
