'''ModemManager mock for Kestrel's tests: one modem, its inhibitions.

Parameters (JSON, all optional):
  uid, physdev      the modem's Device and Physdev
  appear_after      seconds before the modem is known (ModemManager still probing)
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


def load(mock, parameters):
    mock.modem_uid = parameters.get('uid', '/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1')
    mock.modem_physdev = parameters.get('physdev', mock.modem_uid)
    mock.state_file = parameters.get('state_file', '')
    mock.calls = []
    mock.inhibited = {}
    mock.watches = {}
    if parameters.get('inhibited_by'):
        mock.inhibited[mock.modem_uid] = parameters['inhibited_by']
    mock.AddProperties(MAIN_IFACE, {'Version': '1.20.4'})
    delay = float(parameters.get('appear_after', 0))
    if delay > 0:
        GLib.timeout_add(int(delay * 1000), lambda: add_modem(mock) and False)
    else:
        add_modem(mock)
    write_state(mock)


def add_modem(mock):
    mock.AddObject(MODEM_PATH, MODEM_IFACE,
                   {'Device': dbus.String(mock.modem_uid),
                    'Physdev': dbus.String(mock.modem_physdev),
                    'State': dbus.Int32(8)}, [])
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


@dbus.service.method(MAIN_IFACE, in_signature='sb', out_signature='', sender_keyword='sender')
def InhibitDevice(self, uid, inhibit, sender=None):
    uid = str(uid)
    self.calls.append([uid, bool(inhibit), str(sender)])
    try:
        if uid != self.modem_uid or not modem_known(self):
            raise dbus.exceptions.DBusException(f"No device found with uid '{uid}'", name=NOT_FOUND)
        holder = self.inhibited.get(uid)
        if inhibit:
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
