# What the GUPnP scripts share: loading the bindings (exit 77 when they are
# missing, so that the test is skipped rather than failed) and running the
# control point on the loopback interface until the script is done or its
# time is up.
import sys
import warnings

CD = "urn:schemas-upnp-org:service:ContentDirectory:1"
CM = "urn:schemas-upnp-org:service:ConnectionManager:1"
MEDIA_SERVER = "urn:schemas-upnp-org:device:MediaServer:1"


def require_gupnp(with_av=False):
    """The gi.repository module with GLib, GObject, GUPnP (and GUPnPAV)."""
    try:
        import gi

        gi.require_version("GUPnP", "1.6")
        if with_av:
            gi.require_version("GUPnPAV", "1.0")
        from gi import repository
        from gi.repository import GLib, GObject, GUPnP  # noqa: F401

        if with_av:
            from gi.repository import GUPnPAV  # noqa: F401
    except (ImportError, ValueError) as e:
        print("GUPnP control point%s not available:" % (" or DIDL-Lite parser" if with_av else ""), e)
        sys.exit(77)
    warnings.simplefilter("ignore", DeprecationWarning)
    return repository


def expect(failures, what, got, expected):
    """Records a difference between what a call gave and what it should."""
    if got != expected:
        failures.append("%s: got %r, expected %r" % (what, got, expected))


def call(proxy, name, out_names, in_names=(), in_values=()):
    """Calls an action with text arguments; its text results, or None."""
    from gi.repository import GUPnP

    action = GUPnP.ServiceProxyAction.new_from_list(name, list(in_names), list(in_values))
    proxy.call_action(action, None)
    ok, values = action.get_result_list(list(out_names), [str] * len(out_names))
    return values if ok else None


def new_context(repository):
    """A GUPnP context on the loopback interface. Asked for any port, GUPnP
    takes the port it got on one address of the interface for the other as
    well; when another process holds that one there, it fails, so try again."""
    for attempt in range(20):
        try:
            return repository.GUPnP.Context.new("lo", 0)
        except repository.GLib.Error as e:
            if attempt == 19:
                raise
            print("retrying the GUPnP context:", e.message)


def run_control_point(repository, loop, available, seconds):
    """Calls available(control_point, device) for every MediaServer found on
    the loopback interface until loop quits or seconds pass."""
    context = new_context(repository)
    control_point = repository.GUPnP.ControlPoint.new(context, MEDIA_SERVER)
    control_point.connect("device-proxy-available", available)
    control_point.set_active(True)
    repository.GLib.timeout_add_seconds(seconds, loop.quit)
    loop.run()
    return control_point
