// A card state read only at power-on takes effect at a power cycle; the
// reset before the next test gives the card back.
import { api, expect, sim, test } from './lab-fixtures';

const waitingForPin = 1;
const lockOff = 3;

test('a locked card asks for its PIN after a power cycle', async ({ device, request }) => {
  await sim(request, device, 'sim', 'pin-required', '2468');
  expect((await api(request, device, { module: 'simLock', action: 0 })).pinState).toBe(lockOff);
  expect(await sim(request, device, 'power', 'cycle')).toContain('started by supervisor');
  expect((await api(request, device, { module: 'simLock', action: 0 })).pinState).toBe(waitingForPin);
});

test('the card is ready after the reset', async ({ device, request }) => {
  const state = await api(request, device, { module: 'simLock', action: 0 });
  expect(state.cardState).toBe(1);
  expect(state.pinState).toBe(lockOff);
});
