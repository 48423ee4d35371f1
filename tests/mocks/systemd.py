'''systemd mock for Kestrel's tests: the units Kestrel stops and starts.

Parameters (JSON, all optional):
  units        {"CmxService.service": "active"}: the installed units and their ActiveState
  state_file   written after every change: {"units": {name: ActiveState},
               "calls": [[method, name]...]}
  stop_delay   seconds a stopped unit stays "deactivating" before it is "inactive", as a
               service that takes its time to end; -1: it never ends
  stop_answer_delay  seconds StopUnit takes to answer (the manager is busy or hung)
A unit that is not installed loads with LoadState "not-found", as systemd's LoadUnit does.
StopUnit answers with the job it queued; the unit reaches "inactive" when the job is done.
'''

import json
import os
import time

import dbus
from gi.repository import GLib

from dbusmock import mockobject

BUS_NAME = 'org.freedesktop.systemd1'
MAIN_OBJ = '/org/freedesktop/systemd1'
MAIN_IFACE = 'org.freedesktop.systemd1.Manager'
UNIT_IFACE = 'org.freedesktop.systemd1.Unit'
SYSTEM_BUS = True

NO_SUCH_UNIT = 'org.freedesktop.systemd1.NoSuchUnit'


def load(mock, parameters):
    mock.state_file = parameters.get('state_file', '')
    mock.calls = []
    mock.unit_states = {}
    mock.next_job = 1
    mock.stop_delay = parameters.get('stop_delay', 0)
    mock.stop_answer_delay = parameters.get('stop_answer_delay', 0)
    mock.AddProperties(MAIN_IFACE, {'Version': 'v252'})
    for name, state in parameters.get('units', {}).items():
        add_unit(mock, name, 'loaded', state)
    write_state(mock)


def unit_path(name):
    return MAIN_OBJ + '/unit/' + ''.join(c if c.isalnum() else '_' for c in name)


def add_unit(mock, name, load_state, active_state):
    path = unit_path(name)
    if path not in mockobject.objects:
        mock.AddObject(path, UNIT_IFACE, {'Id': dbus.String(name),
                                          'LoadState': dbus.String(load_state),
                                          'ActiveState': dbus.String(active_state)}, [])
    if load_state == 'loaded':
        mock.unit_states[name] = active_state
    return path


def write_state(mock):
    if not mock.state_file:
        return
    temporary = mock.state_file + '.tmp'
    with open(temporary, 'w', encoding='utf-8') as out:
        json.dump({'units': mock.unit_states, 'calls': mock.calls}, out)
    os.rename(temporary, mock.state_file)


def set_active_state(mock, name, state):
    if name not in mock.unit_states:
        raise dbus.exceptions.DBusException(f'Unit {name} not loaded.', name=NO_SUCH_UNIT)
    mock.unit_states[name] = state
    mockobject.objects[unit_path(name)].UpdateProperties(UNIT_IFACE, {'ActiveState': state})
    job = f'{MAIN_OBJ}/job/{mock.next_job}'
    mock.next_job += 1
    write_state(mock)
    return job


@dbus.service.method(MAIN_IFACE, in_signature='s', out_signature='o')
def LoadUnit(self, name):
    name = str(name)
    self.calls.append(['LoadUnit', name])
    if name in self.unit_states:
        return unit_path(name)
    return add_unit(self, name, 'not-found', 'inactive')


@dbus.service.method(MAIN_IFACE, in_signature='ss', out_signature='o')
def StartUnit(self, name, _mode):
    self.calls.append(['StartUnit', str(name)])
    return set_active_state(self, str(name), 'active')


@dbus.service.method(MAIN_IFACE, in_signature='ss', out_signature='o')
def StopUnit(self, name, _mode):
    name = str(name)
    self.calls.append(['StopUnit', name])
    if self.stop_answer_delay:
        time.sleep(self.stop_answer_delay)
    if not self.stop_delay:
        return set_active_state(self, name, 'inactive')
    job = set_active_state(self, name, 'deactivating')
    if self.stop_delay > 0:
        GLib.timeout_add(int(self.stop_delay * 1000),
                         lambda: set_active_state(self, name, 'inactive') and False)
    return job
