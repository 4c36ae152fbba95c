#!/usr/bin/python3
# Walks the whole tree of the server on 127.0.0.1:<port> with the GUPnP
# control point in pages of 5, parses every Result with GUPnP-AV's DIDL-Lite
# parser and validates it against the DIDL-Lite schema that libgupnp-av
# ships (xmllint, through a catalog, without any network). Then searches the
# whole tree for tracks and for albums, which must find each object once.
# Titles given after the port must each be the title of some object, as
# GUPnP-AV reads it.
# Exit 0: every check held; 77: GUPnP or xmllint is missing; 1: a check failed.
import os
import shutil
import subprocess
import sys
import tempfile

from gupnp_common import CD, require_gupnp, run_control_point

gir = require_gupnp(with_av=True)
GLib, GUPnP, GUPnPAV = gir.GLib, gir.GUPnP, gir.GUPnPAV

SCHEMAS = "/usr/share/gupnp-av"
if not shutil.which("xmllint") or not os.path.exists(SCHEMAS + "/didl-lite-v2.xsd"):
    print("xmllint or the DIDL-Lite schema is missing")
    sys.exit(77)


port = sys.argv[1]
failures = []
seen = {"device": False, "objects": 0, "documents": 0}
titles = set()
# The ids of the audio items themselves (not references), met in the walk.
tracks = set()
loop = GLib.MainLoop()
work = tempfile.mkdtemp()
catalog = os.path.join(work, "catalog.xml")
with open(catalog, "w") as f:
    f.write('<?xml version="1.0"?>\n'
            '<catalog xmlns="urn:oasis:names:tc:entity:xmlns:xml:catalog">\n')
    for remote, local in [("http://www.upnp.org/schemas/av/upnp.xsd", "upnp.xsd"),
                          ("http://www.upnp.org/schemas/av/av.xsd", "av.xsd"),
                          ("http://dublincore.org/schemas/xmls/simpledc20021212.xsd",
                           "simpledc20021212.xsd"),
                          ("http://www.w3.org/2001/03/xml.xsd", "xml.xsd")]:
        f.write('  <uri name="%s" uri="file://%s/%s"/>\n' % (remote, SCHEMAS, local))
    f.write("</catalog>\n")


def validate(didl):
    path = os.path.join(work, "result-%d.xml" % seen["documents"])
    seen["documents"] += 1
    with open(path, "w") as f:
        f.write(didl)
    run = subprocess.run(["xmllint", "--noout", "--nonet", "--schema",
                          SCHEMAS + "/didl-lite-v2.xsd", path],
                         env=dict(os.environ, XML_CATALOG_FILES=catalog),
                         capture_output=True, text=True)
    if run.returncode != 0:
        failures.append("schema: " + run.stderr.strip()[:500])


def browse(cd, object_id, start, count):
    action = GUPnP.ServiceProxyAction.new_from_list(
        "Browse", ["ObjectID", "BrowseFlag", "Filter", "StartingIndex", "RequestedCount",
                   "SortCriteria"],
        [object_id, "BrowseDirectChildren", "*", str(start), str(count), ""])
    cd.call_action(action, None)
    ok, values = action.get_result_list(["Result", "NumberReturned", "TotalMatches"],
                                        [str, str, str])
    return values[0], int(values[1]), int(values[2])


def search(cd, criteria, start, count):
    action = GUPnP.ServiceProxyAction.new_from_list(
        "Search", ["ContainerID", "SearchCriteria", "Filter", "StartingIndex", "RequestedCount",
                   "SortCriteria"],
        ["0", criteria, "*", str(start), str(count), ""])
    cd.call_action(action, None)
    ok, values = action.get_result_list(["Result", "NumberReturned", "TotalMatches"],
                                        [str, str, str])
    return values[0], int(values[1]), int(values[2])


def search_all(cd, criteria):
    """The objects a search from the root finds, in pages of 5; each page
    valid and parsed, TotalMatches the same on every page."""
    found = []
    start = 0
    totals = set()
    while True:
        didl, returned, total = search(cd, criteria, start, 5)
        totals.add(total)
        if returned > 0:
            validate(didl)
            found += parse(didl)
        start += returned
        if returned == 0 or start >= total:
            break
    if len(totals) != 1 or len(found) != totals.pop():
        failures.append("%s: %d objects, TotalMatches %s" % (criteria, len(found), totals))
    return found


def check_searches(cd):
    # Each track once, as itself, however many views show it.
    found = search_all(cd, 'upnp:class derivedfrom "object.item.audioItem"')
    ids = [o.get_id() for o in found]
    if len(set(ids)) != len(ids) or any(o.get_ref_id() for o in found):
        failures.append("search for tracks: references or repeats in %s" % ids)
    # A library of videos or pictures alone holds no tracks and no albums.
    if set(ids) != tracks:
        failures.append("search for tracks: %d found, the tree holds %d" %
                        (len(set(ids)), len(tracks)))
    # Each album once.
    albums = [o.get_title() for o in
              search_all(cd, 'upnp:class = "object.container.album.musicAlbum"')]
    if (tracks and not albums) or len(set(albums)) != len(albums):
        failures.append("search for albums: %s" % albums)


def parse(didl):
    objects = []
    parser = GUPnPAV.DIDLLiteParser.new()
    parser.connect("object-available", lambda p, o: objects.append(o))
    parser.parse_didl(didl)
    return objects


def walk(cd, object_id, child_count):
    start = 0
    ids = set()
    containers = []
    total = None
    while True:
        didl, returned, total = browse(cd, object_id, start, 5)
        # An empty page is a DIDL-Lite element without children, which the
        # schema (and GUPnP's parser) does not allow; it is checked by its
        # counts alone.
        objects = []
        if returned > 0:
            validate(didl)
            objects = parse(didl)
        if returned != len(objects):
            failures.append("%s: NumberReturned %d, Result holds %d" %
                            (object_id, returned, len(objects)))
        for o in objects:
            seen["objects"] += 1
            titles.add(o.get_title())
            if o.get_id() in ids:
                failures.append("%s: %s twice" % (object_id, o.get_id()))
            ids.add(o.get_id())
            if o.get_parent_id() != object_id:
                failures.append("%s: child %s has parentID %s" %
                                (object_id, o.get_id(), o.get_parent_id()))
            if isinstance(o, GUPnPAV.DIDLLiteContainer):
                containers.append((o.get_id(), o.get_child_count()))
            else:
                if not o.get_ref_id() and o.get_upnp_class().startswith("object.item.audioItem"):
                    tracks.add(o.get_id())
                resources = o.get_resources()
                if not resources or len(resources[0].get_protocol_info().to_string().split(":")) != 4:
                    failures.append("%s: item %s without a four-field protocolInfo" %
                                    (object_id, o.get_id()))
        start += returned
        if returned == 0 or start >= total:
            break
    if child_count is not None and child_count != total:
        failures.append("%s: childCount %d, TotalMatches %d" % (object_id, child_count, total))
    if len(ids) != total:
        failures.append("%s: pages hold %d objects, TotalMatches %d" % (object_id, len(ids), total))
    for child, count in containers:
        walk(cd, child, count)


def available(control_point, device):
    if (":%s/" % port) not in device.get_location() or seen["device"]:
        return
    seen["device"] = True
    try:
        walk(device.get_service(CD), "0", None)
        check_searches(device.get_service(CD))
    except Exception as e:
        failures.append("exception: %r" % (e,))
    loop.quit()


run_control_point(gir, loop, available, 120)
shutil.rmtree(work)

if not seen["device"]:
    failures.append("the device on port %s was not found" % port)
for expected in sys.argv[2:]:
    if expected not in titles:
        failures.append("no object titled %r" % (expected,))
print("%d objects in %d documents" % (seen["objects"], seen["documents"]))
for f in failures[:20]:
    print(f)
sys.exit(1 if failures else 0)
