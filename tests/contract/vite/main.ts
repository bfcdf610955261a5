// A page as a front-end team writes one: the generated module imported as
// it is, values and types apart, as verbatimModuleSyntax wants.
import { KalResult, KalResults, send } from "../../../docs/kal-api";
import type { KalRequest, ReplyOf, Wlan0Reply } from "../../../docs/kal-api";

const read = { module: "wlan", action: 0 } as const satisfies KalRequest;

function describe(reply: Wlan0Reply): string {
    if (reply.result === KalResult.Ok)
        return `${reply.ssid} on channel ${reply.channel}`;
    return "the Wi-Fi settings cannot be read";
}

async function saveLimit(limit: string): Promise<string> {
    const reply: ReplyOf<{ module: "flowstat"; action: 1; settings: { enableDataLimit: true; limitation: string } }> =
        await send({ module: "flowstat", action: 1, settings: { enableDataLimit: true, limitation: limit } });
    return reply.result === KalResults["flowstat.1"].Ok ? "saved" : "not saved";
}

const target = document.getElementById("network");
send(read)
    .then((reply) => {
        if (target !== null)
            target.textContent = describe(reply);
        return saveLimit("1024");
    })
    .catch((error: unknown) => {
        if (target !== null)
            target.textContent = error instanceof Error ? error.message : String(error);
    });
