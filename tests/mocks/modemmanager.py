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
  inhibited_by      a bus name that holds an inhibition of the modem from the start
  state_file        written after every change: {"calls": [[uid, inhibit, sender]...],
                    "inhibited": {uid: sender}}
An inhibition is dropped when the program that made it leaves the bus, as ModemManager does.
'''

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
    if parameters.get('inhibited_by'):
        mock.inhibited[mock.modem_uid] = parameters['inhibited_by']
    mock.AddProperties(MAIN_IFACE, {'Version': mock.version})
    delay = float(parameters.get('appear_after', 0))
    known = float(parameters.get('known_after', delay))
    later(known, lambda: know_card(mock))
    later(delay, lambda: add_modem(mock))
    write_state(mock)


def later(seconds, action):
    if seconds > 0:
        GLib.timeout_add(int(seconds * 1000), lambda: action() and False)
    else:
        action()


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
    mock.AddObject(MODEM_PATH, MODEM_IFACE, properties, [])
    return True


def modem_known(mock):
    return MODEM_PATH in mockobject.objects


def write_state(mock):
    if not mock.state_file:
        return
    temporary = mock.state_file + '.tmp'
    with open(temporary, 'w', encoding='utf-8') as out:
        json.dump({'calls': mock.calls, 'inhibited': mock.inhibited}, out)
    os.rename(temporary, mock.state_file)


def caller_left(mock, uid, sender):
    def changed(owner):
        if owner == '' and mock.inhibited.get(uid) == sender:
            del mock.inhibited[uid]
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
        if uid != self.modem_uid or not self.card_known:
            raise dbus.exceptions.DBusException(f"No device found with uid '{uid}'", name=NOT_FOUND)
        if self.refuse:
            raise dbus.exceptions.DBusException('refused', name=self.refuse)
        holder = self.inhibited.get(uid)
        if inhibit:
            if not modem_known(self):
                raise dbus.exceptions.DBusException('Modem not exported in the bus',
                                                    name=WRONG_STATE)
            if holder is not None:
                raise dbus.exceptions.DBusException(f"Device '{uid}' is already inhibited",
                                                    name=IN_PROGRESS)
            self.inhibited[uid] = str(sender)
            self.watches[uid] = self.connection.watch_name_owner(
                sender, caller_left(self, uid, str(sender)))
        else:
            if holder != str(sender):
                raise dbus.exceptions.DBusException(f"Device '{uid}' is not inhibited by you",
                                                    name=NOT_FOUND)
            del self.inhibited[uid]
    finally:
        write_state(self)
