"""The trial loop of 200 trials of a cheap target through TesselHPOptimizer
(random search, both callbacks attached), against a bare optuna study with the
same sampler and trials, in one run (ours / bare, target <= 1.1). The
completion step (importances, figure) is timed separately.
"""

import time
import warnings

import optuna

from tessel_core.executors.parameters_optimizer import TesselHPOptimizer

warnings.filterwarnings("ignore")
TRIALS = 200


def target(trial):
    x = trial.suggest_float("x", -5, 5)
    y = trial.suggest_float("y", -5, 5)
    return (x - 1) ** 2 + (y + 2) ** 2


def main():
    optuna.logging.set_verbosity(optuna.logging.ERROR)
    reports = []
    loop_ours, loop_bare, loop_noop, completion = [], [], [], []
    for _ in range(3):
        opt = TesselHPOptimizer("RandomSearch", [0], haltwatch_rounds=10_000,
                                pipeline_callback=reports.append)
        opt.create_study()
        study = opt._study
        t = time.perf_counter()
        study.optimize(target, n_trials=TRIALS,
                       callbacks=[opt._trialfeed_callback, opt._haltwatch_callback])
        loop_ours.append(time.perf_counter() - t)
        t = time.perf_counter()
        opt.optimize(target, 0, ["loss"])  # no new trial: only the completion step
        completion.append(time.perf_counter() - t)

        bare = optuna.create_study(sampler=optuna.samplers.RandomSampler())
        t = time.perf_counter()
        bare.optimize(target, n_trials=TRIALS)
        loop_bare.append(time.perf_counter() - t)

        # optuna deep-copies the finished trial once per callback: the floor
        # that any two callbacks pay, whatever they do.
        noop = optuna.create_study(sampler=optuna.samplers.RandomSampler())
        t = time.perf_counter()
        noop.optimize(target, n_trials=TRIALS, callbacks=[lambda s, tr: None] * 2)
        loop_noop.append(time.perf_counter() - t)
    print(f"{'case':44} {'ratio':>6}  target")
    print(f"{'200-trial loop with both callbacks vs bare':44} "
          f"{min(loop_ours) / min(loop_bare):6.2f}  <= 1.1")
    print(f"{'(floor: two no-op callbacks vs bare)':44} {min(loop_noop) / min(loop_bare):6.2f}")
    print(f"completion step (importances, figure): {min(completion) * 1e3:.1f} ms "
          f"({min(completion) / min(loop_bare):.2f} of a bare 200-trial loop)")


if __name__ == "__main__":
    main()
