#!/usr/bin/env python3
"""Writes a generic database and a project of a chosen size for tests and benchmarks.

The output is deterministic for a given seed and valid by default: every
reference resolves and every product has a usable set of stages, so the whole
pipeline runs through. Sizes grow linearly with --elements:

  per element: one construction, --products product links (one product each),
  and per product an "a1_3", a "c3" or "c4" and, for every other product, a "d"
  stage link with its stage record.
"""
import argparse
import os
import random
from xml.sax.saxutils import quoteattr

GEN_DK = 3735928559
PROJECT_DB = 1001
INDICATORS = ["GWP", "ODP", "POCP", "AP", "EP", "ADPE", "ADPF", "PENR", "PER", "SENR", "SER"]


def row(name, **attrs):
    body = " ".join(f"{k}={quoteattr(str(v))}" for k, v in attrs.items())
    return f"  <{name} {body}/>\n"


def indicator_values(rng, scale):
    return {name: f"{rng.uniform(0.1, 10.0) * scale:.6g}" for name in INDICATORS}


def write_generic(path, rng, elements, products, data_points, super_categories, categories_per_super):
    with open(path, "w", encoding="utf-8") as out:
        out.write('<?xml version="1.0" encoding="UTF-8"?>\n<GenericDatabase>\n')
        out.write(row("Database", PrimaryDatabaseUID=GEN_DK))
        out.write(row("Settings", ID=1, Name="UID", Value=GEN_DK))
        out.write(row("Sources", ID=1, Name="Generated generic data", Official="true", Readonly="true"))
        out.write(row("OperationUtilities", ID=1, Name="Electricity", Order=1, IsElectricity="true"))
        out.write(row("OperationUtilities", ID=2, Name="District heating", Order=2, IsElectricity="false"))
        out.write(row("OperationScenarios", ID=1, Name="Generated scenario", Description="linear decline"))
        group_id = 1
        for d in range(data_points):
            dp_id = d + 1
            out.write(row("OperationDataPoints", ID=dp_id, ScenarioID=1, Year=2020 + 10 * d))
            for utility in (1, 2):
                out.write(row("OperationIndicatorGroups", ID=group_id, DataPointID=dp_id, UtilityID=utility,
                              **indicator_values(rng, 1.0 / (d + 1))))
                group_id += 1
        category_ids = []
        for s in range(super_categories):
            sc_id = s + 1
            out.write(row("SuperCategories", ID=sc_id, Name=f"Super category {sc_id}", Order=rng.randint(-5, 50)))
            for c in range(categories_per_super):
                cat_id = s * categories_per_super + c + 1
                category_ids.append(cat_id)
                out.write(row("Categories", ID=cat_id, IsStage="false", Name=f"Category {cat_id}",
                              Order=rng.randint(-5, 50), SuperCategoryID=sc_id, Units="m2;kg"))
        stage_category = len(category_ids) + 1
        out.write(row("Categories", ID=stage_category, IsStage="true", Name="Stage data", Order=0,
                      SuperCategoryID="None", Units="kg"))
        product_id = 1
        stage_id = 1
        stage_link_id = 1
        for e in range(elements):
            cons_id = e + 1
            out.write(row("Constructions", ID=cons_id, CategoryID=category_ids[e % len(category_ids)], SourceID=1,
                          Name=f"Construction {cons_id}", Unit="m2", Comment=""))
            for p in range(products):
                out.write(row("Products", ID=product_id, SourceID=1, Name=f"Product {product_id}", Comment=""))
                out.write(row("ProductLinks", ID=product_id, ConstructionID=cons_id, ProductLink=f"0:{product_id}",
                              Order=rng.randint(0, 20), Amount=f"{rng.uniform(0.5, 30):.4g}",
                              Density=f"{rng.uniform(100, 2500):.5g}", Lifespan=rng.choice([15, 20, 25, 30, 40, 60]),
                              Transport="0"))
                codes = ["a1_3", rng.choice(["c3", "c4"])] + (["d"] if product_id % 2 == 0 else [])
                for code in codes:
                    out.write(row("Stages", ID=stage_id, CategoryID=stage_category, SourceID=1,
                                  Name=f"Stage {stage_id}", Stage=code, StageUnit="kg",
                                  IndicatorUnit=rng.choice(["kg", "m2"]), Factor="1",
                                  Density="1", Quantity=f"{rng.uniform(0.5, 3):.4g}",
                                  **indicator_values(rng, 1.0)))
                    out.write(row("StageLinks", ID=stage_link_id, ProductID=product_id, StageLink=f"0:{stage_id}",
                                  Stage=code))
                    stage_id += 1
                    stage_link_id += 1
                product_id += 1
        out.write("</GenericDatabase>\n")


def write_project(path, rng, elements):
    with open(path, "w", encoding="utf-8") as out:
        out.write('<?xml version="1.0" encoding="UTF-8"?>\n<Project>\n')
        out.write(row("Database", PrimaryDatabaseUID=PROJECT_DB))
        out.write(row("Sources", ID=1, Name="Project data", Official="false", Readonly="false"))
        out.write(row("Buildings", ID=1, OperationID=1, SourceID=1, Name="Generated building", Address="",
                      Owner="", Type="Office", FloorArea="2500", GrossArea="2800", BuildingLifeSpan=50,
                      InitialYear=2025, CalculationTimeSpan=50, Description="", ReportPurpose="",
                      ReportBuildingElements=""))
        out.write(row("Operations", ID=1, ElectricityConsumption="25.5", HeatingConsumption="60",
                      HeatSupplyUtilityLink=f"{GEN_DK}:2", ScenarioLink=f"{GEN_DK}:1"))
        for e in range(elements):
            amount = rng.uniform(1, 400)
            if rng.random() < 0.05:
                amount = -amount
            out.write(row("Elements", ID=e + 1, BuildingID=1, ConstructionLink=f"{GEN_DK}:{e + 1}", SourceID=1,
                          Enabled="true", Name=f"Element {e + 1}", Amount=f"{amount:.5g}",
                          Order=rng.randint(-100, 100), Comment=""))
        out.write("</Project>\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--elements", type=int, default=250)
    parser.add_argument("--products", type=int, default=3, help="product links per construction")
    parser.add_argument("--data-points", type=int, default=4)
    parser.add_argument("--super-categories", type=int, default=4)
    parser.add_argument("--categories", type=int, default=4, help="categories per super category")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--out", required=True, help="directory for generic_db.xml and project.xml")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    rng = random.Random(args.seed)
    write_generic(os.path.join(args.out, "generic_db.xml"), rng, args.elements, args.products, args.data_points,
                  args.super_categories, args.categories)
    write_project(os.path.join(args.out, "project.xml"), rng, args.elements)


if __name__ == "__main__":
    main()
