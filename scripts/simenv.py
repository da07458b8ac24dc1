"""The environment in which a build's qxhost and component run on the simulated bus, with every
file (log socket, configuration, bus configuration, property tree) in a private folder."""
import os


def sim_env(build, tmp):
    env = dict(os.environ)
    env.update({
        "TALIUN_LOG_SOCKET": tmp + "/log.sock",
        "TALIUN_CONFIGURATION": tmp + "/taliun.configuration",
        "TALIUN_USBSIM_CONFIG": tmp + "/bus.conf",
        "QXHOST_PROPERTIES": tmp + "/properties",
        "QXHOST_LIBRARY": os.path.join(build, "libTaliunqxusb.so"),
        "LD_LIBRARY_PATH": os.path.join(build, "sim") + (":" + env["LD_LIBRARY_PATH"] if env.get("LD_LIBRARY_PATH") else ""),
    })
    return env
