'''ModemManager mock for Kestrel's tests: one modem, its inhibitions.

Parameters (JSON, all optional):
  version           '1.22.0' (the default) or '1.20.4': before 1.22 a modem has no Physdev
  uid, physdev      the modem's Device and Physdev
  ports             the modem's ports (["ttyUSB2", ...]), its Ports property
  known_after       seconds before the daemon knows the card at all (InhibitDevice answers
                    Core.NotFound until then); defaults to appear_after
  appear_after      seconds before the modem is exported; between known_after and this the
                    daemon is probing it and InhibitDevice answers Core.WrongState
  refuse            an error name InhibitDevice answers with for the card's uid
                    (org.freedesktop.ModemManager1.Error.Core.Unauthorized, ...), or
                    'no-answer': InhibitDevice never answers
  inhibited_by      a bus name that holds an inhibition of the modem from the start (its modem
                    stays listed)
  udev              true: the card's modem follows the card's ttys in udev (the emulated udev
                    when the mock runs under umockdev), as ModemManager 1.20 does: a tty below
                    the USB device whose sysfs path (or ID_MM_PHYSDEV_UID) is the uid makes the
                    card known; once no tty of it has come for probe_delay seconds its ttys are
                    probed (opened) and the modem is exported with them as its Ports. Ports
                    that come while the uid is inhibited are held back, neither opened nor
                    made a modem, until the inhibition ends; then they are probed. The card's
                    last tty leaving forgets the card and its modem. umockdev names each
                    listener's event socket by its descriptor's number: another process
                    listening on a descriptor of the same number takes the mock's events.
  probe_delay       seconds (1.5 by default, ModemManager's minimum wait)
  state_file        written after every change: {"calls": [[uid, inhibit, sender]...],
                    "inhibited": {uid: sender}, "modem": its Ports while it is exported (null
                    otherwise),
                    "probed": [tty...] in the order they were opened, "held": [tty...] held
                    back now, "events": how many udev events it has read}
An inhibition takes the modem off the bus and is dropped when the program that made it leaves
the bus, as ModemManager does; its end brings the modem back.
'''

import ctypes
import json
import os

import dbus
from gi.repository import GLib

from dbusmock import mockobject

BUS_NAME = 'org.freedesktop.ModemManager1'
MAIN_OBJ = '/org/freedesktop/ModemManager1'
MAIN_IFACE = 'org.freedesktop.ModemManager1'
MODEM_IFACE = 'org.freedesktop.ModemManager1.Modem'
MODEM_PATH = '/org/freedesktop/ModemManager1/Modem/0'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

NOT_FOUND = 'org.freedesktop.ModemManager1.Error.Core.NotFound'
IN_PROGRESS = 'org.freedesktop.ModemManager1.Error.Core.InProgress'
WRONG_STATE = 'org.freedesktop.ModemManager1.Error.Core.WrongState'
PORT_TYPE_AT = 3
# ModemManager waits this long after a device's last port appeared before probing it.
DEFAULT_PROBE_DELAY = 1.5
IGNORE_PROPERTIES = (b'ID_MM_DEVICE_IGNORE', b'ID_MM_PORT_IGNORE')


def load(mock, parameters):
    mock.modem_uid = parameters.get('uid', '/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1')
    mock.modem_physdev = parameters.get('physdev', mock.modem_uid)
    mock.version = parameters.get('version', '1.22.0')
    mock.ports = parameters.get('ports', [])
    mock.refuse = parameters.get('refuse', '')
    mock.card_known = False
    mock.state_file = parameters.get('state_file', '')
    mock.calls = []
    mock.inhibited = {}
    mock.watches = {}
    mock.probed = []
    mock.held = []
    mock.exported_ports = []
    mock.probe_timer = 0
    mock.probe_delay = float(parameters.get('probe_delay', DEFAULT_PROBE_DELAY))
    mock.udev = None
    if parameters.get('inhibited_by'):
        mock.inhibited[mock.modem_uid] = parameters['inhibited_by']
    mock.AddProperties(MAIN_IFACE, {'Version': mock.version})
    if parameters.get('udev'):
        mock.ports = []
        mock.udev = Udev(lambda action, port: port_event(mock, action, port))
        for port in mock.udev.ttys():
            port_event(mock, 'add', port)
    else:
        delay = float(parameters.get('appear_after', 0))
        known = float(parameters.get('known_after', delay))
        later(known, lambda: know_card(mock))
        later(delay, lambda: add_modem(mock))
    write_state(mock)


def later(seconds, action):
    if seconds > 0:
        return GLib.timeout_add(int(seconds * 1000), lambda: action() and False)
    action()
    return 0


def know_card(mock):
    mock.card_known = True
    return True


def add_modem(mock):
    properties = {'Device': dbus.String(mock.modem_uid),
                  'Ports': dbus.Array([dbus.Struct((dbus.String(port), dbus.UInt32(PORT_TYPE_AT)),
                                                   signature='su') for port in mock.ports],
                                      signature='(su)'),
                  'State': dbus.Int32(8)}
    # Physdev is there from ModemManager 1.22 on.
    if [int(part) for part in mock.version.split('.')[:2]] >= [1, 22]:
        properties['Physdev'] = dbus.String(mock.modem_physdev)
    mock.card_known = True
    mock.exported_ports = list(mock.ports)
    mock.AddObject(MODEM_PATH, MODEM_IFACE, properties, [])
    write_state(mock)
    return True


def remove_modem(mock):
    if modem_known(mock):
        mock.RemoveObject(MODEM_PATH)


def modem_known(mock):
    return MODEM_PATH in mockobject.objects


class Udev:
    """The ttys in udev through libudev: those there now, and their events as they come."""

    def __init__(self, on_event):
        self.lib = ctypes.CDLL('libudev.so.1')
        for name, result in (('udev_new', ctypes.c_void_p),
                             ('udev_monitor_new_from_netlink', ctypes.c_void_p),
                             ('udev_monitor_receive_device', ctypes.c_void_p),
                             ('udev_device_new_from_syspath', ctypes.c_void_p),
                             ('udev_device_get_parent_with_subsystem_devtype', ctypes.c_void_p),
                             ('udev_device_get_action', ctypes.c_char_p),
                             ('udev_device_get_sysname', ctypes.c_char_p),
                             ('udev_device_get_syspath', ctypes.c_char_p),
                             ('udev_device_get_subsystem', ctypes.c_char_p),
                             ('udev_device_get_property_value', ctypes.c_char_p),
                             ('udev_enumerate_new', ctypes.c_void_p),
                             ('udev_enumerate_get_list_entry', ctypes.c_void_p),
                             ('udev_list_entry_get_next', ctypes.c_void_p),
                             ('udev_list_entry_get_name', ctypes.c_char_p)):
            getattr(self.lib, name).restype = result
        self.udev = ctypes.c_void_p(self.lib.udev_new())
        self.monitor = ctypes.c_void_p(self.lib.udev_monitor_new_from_netlink(self.udev, b'udev'))
        # Every event is read (and counted), so that a test can pace what it sends.
        self.received = 0
        self.lib.udev_monitor_enable_receiving(self.monitor)
        self.on_event = on_event
        GLib.io_add_watch(self.lib.udev_monitor_get_fd(self.monitor), GLib.IO_IN, self.receive)

    def ttys(self):
        enumerate_ = ctypes.c_void_p(self.lib.udev_enumerate_new(self.udev))
        self.lib.udev_enumerate_add_match_subsystem(enumerate_, b'tty')
        self.lib.udev_enumerate_scan_devices(enumerate_)
        ports = []
        entry = self.lib.udev_enumerate_get_list_entry(enumerate_)
        while entry:
            device = self.lib.udev_device_new_from_syspath(
                self.udev, self.lib.udev_list_entry_get_name(ctypes.c_void_p(entry)))
            if device:
                ports.append(self.port(ctypes.c_void_p(device)))
                self.lib.udev_device_unref(ctypes.c_void_p(device))
            entry = self.lib.udev_list_entry_get_next(ctypes.c_void_p(entry))
        return ports

    def port(self, device):
        """A tty as ModemManager sees it: its name, its physical device's uid, whether it is
        to be left alone."""
        uid = self.lib.udev_device_get_property_value(device, b'ID_MM_PHYSDEV_UID')
        if not uid:
            usb = self.lib.udev_device_get_parent_with_subsystem_devtype(device, b'usb',
                                                                          b'usb_device')
            uid = self.lib.udev_device_get_syspath(ctypes.c_void_p(usb)) if usb else b''
        ignored = any(self.lib.udev_device_get_property_value(device, name) == b'1'
                      for name in IGNORE_PROPERTIES)
        return {'name': self.lib.udev_device_get_sysname(device).decode(),
                'uid': uid.decode(), 'ignored': ignored,
                'subsystem': (self.lib.udev_device_get_subsystem(device) or b'').decode()}

    def receive(self, _fd, _condition):
        device = self.lib.udev_monitor_receive_device(self.monitor)
        if device:
            device = ctypes.c_void_p(device)
            action = (self.lib.udev_device_get_action(device) or b'').decode()
            port = self.port(device)
            self.lib.udev_device_unref(device)
            self.received += 1
            self.on_event(action, port)
        return True


def port_event(mock, action, port):
    """ModemManager's handling of a port: a removed one is forgotten (with the card when it was
    its last), an added one of an inhibited uid is held back, any other is the card's and
    restarts the wait before probing."""
    name = port['name']
    if port.get('subsystem', 'tty') != 'tty':
        write_state(mock)
        return
    if action == 'remove':
        if name in mock.held:
            mock.held.remove(name)
        if name in mock.ports:
            mock.ports.remove(name)
            if not mock.ports:
                forget_card(mock)
        write_state(mock)
        return
    if action not in ('add', 'change', 'move') or port['uid'] != mock.modem_uid:
        write_state(mock)
        return
    if mock.modem_uid in mock.inhibited:
        if name not in mock.held:
            mock.held.append(name)
        write_state(mock)
        return
    if port['ignored'] or name in mock.ports:
        write_state(mock)
        return
    mock.ports.append(name)
    mock.card_known = True
    schedule_probing(mock)
    write_state(mock)


def schedule_probing(mock):
    if mock.probe_timer:
        GLib.source_remove(mock.probe_timer)
    mock.probe_timer = later(mock.probe_delay, lambda: probe(mock))


def probe(mock):
    """Opens each of the card's ports, as the AT probing does, and exports the modem."""
    mock.probe_timer = 0
    for name in mock.ports:
        try:
            os.close(os.open('/dev/' + name, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
            mock.probed.append(name)
        except OSError:
            pass
    remove_modem(mock)
    add_modem(mock)
    return True


def forget_card(mock):
    if mock.probe_timer:
        GLib.source_remove(mock.probe_timer)
        mock.probe_timer = 0
    mock.card_known = False
    remove_modem(mock)


def end_inhibition(mock, uid):
    """The ports that came while the card was inhibited are probed now; a card whose ports
    stayed gets its modem back."""
    del mock.inhibited[uid]
    if mock.udev is None:
        add_modem(mock)
        return
    held, mock.held = mock.held, []
    if held:
        for name in held:
            port_event(mock, 'add', {'name': name, 'uid': uid, 'ignored': False})
    elif mock.ports:
        add_modem(mock)


def write_state(mock):
    if not mock.state_file:
        return
    temporary = mock.state_file + '.tmp'
    with open(temporary, 'w', encoding='utf-8') as out:
        json.dump({'calls': mock.calls, 'inhibited': mock.inhibited,
                   'modem': mock.exported_ports if modem_known(mock) else None,
                   'probed': mock.probed, 'held': mock.held,
                   'events': mock.udev.received if mock.udev else 0}, out)
    os.rename(temporary, mock.state_file)


def caller_left(mock, uid, sender):
    def changed(owner):
        if owner == '' and mock.inhibited.get(uid) == sender:
            end_inhibition(mock, uid)
            write_state(mock)
    return changed


@dbus.service.method(MAIN_IFACE, in_signature='sb', out_signature='', sender_keyword='sender',
                     async_callbacks=('reply', 'fail'))
def InhibitDevice(self, uid, inhibit, sender=None, reply=None, fail=None):
    uid = str(uid)
    self.calls.append([uid, bool(inhibit), str(sender)])
    if self.refuse == 'no-answer':
        write_state(self)
        return
    try:
        inhibit_device(self, uid, inhibit, sender)
    except dbus.exceptions.DBusException as error:
        fail(error)
        return
    reply()


def inhibit_device(self, uid, inhibit, sender):
    try:
        holder = self.inhibited.get(uid)
        if not inhibit:
            # An inhibition ends also while the card is away.
            if holder != str(sender):
                raise dbus.exceptions.DBusException(f"No inhibition found for uid '{uid}'",
                                                    name=NOT_FOUND)
            end_inhibition(self, uid)
            return
        if uid != self.modem_uid or not self.card_known:
            raise dbus.exceptions.DBusException(f"No device found with uid '{uid}'", name=NOT_FOUND)
        if self.refuse:
            raise dbus.exceptions.DBusException('refused', name=self.refuse)
        if holder is not None:
            raise dbus.exceptions.DBusException(f"Device '{uid}' is already inhibited",
                                                name=IN_PROGRESS)
        if not modem_known(self):
            raise dbus.exceptions.DBusException('Modem not exported in the bus', name=WRONG_STATE)
        self.inhibited[uid] = str(sender)
        self.watches[uid] = self.connection.watch_name_owner(
            sender, caller_left(self, uid, str(sender)))
        remove_modem(self)
    finally:
        write_state(self)
