#!/usr/bin/python3
# Subscribes to the ContentDirectory events of the server on 127.0.0.1:<port>
# with the GUPnP control point. After the initial event it copies <new file>
# into <content directory> and asks for a rescan; the next event must carry a
# higher SystemUpdateID and the changed containers.
# Exit 0: both events arrived as expected; 77: GUPnP is not installed;
# 1: a check failed.
import shutil
import sys
import urllib.request

from gupnp_common import CD, require_gupnp, run_control_point

gir = require_gupnp()
GLib, GObject = gir.GLib, gir.GObject


port, new_file, content_dir = sys.argv[1], sys.argv[2], sys.argv[3]
state = {"device": None, "initial": None, "changed": None, "containers": []}
loop = GLib.MainLoop()


def containers(proxy, variable, value, user_data):
    state["containers"].append(value)


def update_id(proxy, variable, value, user_data):
    if state["initial"] is None:
        state["initial"] = value
        print("initial event: SystemUpdateID", value, flush=True)
        shutil.copy(new_file, content_dir)
        urllib.request.urlopen("http://127.0.0.1:%s/rescan" % port, timeout=10).read()
    elif value > state["initial"]:
        state["changed"] = value
        print("change event: SystemUpdateID", value, "containers", state["containers"],
              flush=True)
        # The containers of the same event may be announced after this one.
        GLib.timeout_add(200, loop.quit)


def available(control_point, device):
    if (":%s/" % port) not in device.get_location() or state["device"]:
        return
    state["device"] = device
    cd = device.get_service(CD)
    state["proxy"] = cd
    cd.add_notify("SystemUpdateID", GObject.TYPE_UINT, update_id, None)
    cd.add_notify("ContainerUpdateIDs", GObject.TYPE_STRING, containers, None)
    cd.set_subscribed(True)


run_control_point(gir, loop, available, 40)

failures = []
if not state["device"]:
    failures.append("the device on port %s was not found" % port)
elif state["initial"] is None:
    failures.append("no initial event")
elif state["changed"] is None:
    failures.append("no event after the rescan")
elif not any(c for c in state["containers"]):
    failures.append("no changed containers announced: %r" % state["containers"])
for f in failures:
    print(f)
sys.exit(1 if failures else 0)
